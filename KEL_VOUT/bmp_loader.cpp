// glInfo::LoadBMPData: reads a BMP file for the exported loader. Any thread.
#include "glInfo.h"

// The decoder arrives with its own change; until then every file is one that cannot be opened.
void glInfo::LoadBMPData(unsigned char* pBuf, int& bufSize, int& Width, int& Height, const char* Filename)
{
    (void)pBuf;
    (void)bufSize;
    (void)Width;
    (void)Height;
    (void)Filename;
}
