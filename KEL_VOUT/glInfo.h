// glInfo: the OpenGL capability record, and the BMP file loader.
#ifndef KEL_VOUT_GLINFO_H
#define KEL_VOUT_GLINFO_H

struct glInfo {
    // Reads an uncompressed BMP file into pBuf. Writes nothing for a file that cannot be
    // opened or decoded.
    static void LoadBMPData(unsigned char* pBuf, int& bufSize, int& Width, int& Height, const char* Filename);
};

#endif
