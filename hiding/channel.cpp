#include "hiding/channel.h"
