// The kyce library's sources live in this folder, one concern per file.
#include "kyce.h"
