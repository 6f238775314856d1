#include "random.h"

thread_local PixelRandom *pixel_random = nullptr;
