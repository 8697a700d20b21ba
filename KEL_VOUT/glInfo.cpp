// glInfo: the OpenGL capability record. The BMP loader it hosts is in bmp_loader.cpp.
#include "glInfo.h"
