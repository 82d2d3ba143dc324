#include "hiding/payload.h"
