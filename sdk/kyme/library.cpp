// The kyme library's sources live in this folder, one concern per file.
#include "kyme.h"
