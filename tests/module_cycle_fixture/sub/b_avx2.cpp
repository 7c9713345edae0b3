#include "sub/b.h"
#include "a.h"
