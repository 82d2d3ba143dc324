#include "imagelib/tiff.h"
