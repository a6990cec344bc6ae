// The kyml library's sources live in this folder, one concern per file.
#include "kyml.h"
