#include "codeconv.h"
