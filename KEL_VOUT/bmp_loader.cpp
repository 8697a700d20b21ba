// glInfo::LoadBMPData: reads a BMP file whole into memory and reports what bmp_decode makes of
// it. Any thread; each call has its own file handle and buffer.
#include "glInfo.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <new>

#include "bmp_decode.h"

namespace {

struct file_bytes {
    std::unique_ptr<uint8_t[]> data;
    size_t size = 0;  // bytes actually read
};

// Reads an open file whole. Only files on disk: a pipe or a device (CON, a named pipe) could
// block or never end. A file above bmp_max_file_size is refused unread.
bool read_whole(HANDLE file, file_bytes& out)
{
    LARGE_INTEGER length;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &length) || length.QuadPart <= 0 ||
        uint64_t(length.QuadPart) > bmp_max_file_size)
        return false;
    const size_t size = size_t(length.QuadPart);
    out.data.reset(new (std::nothrow) uint8_t[size]);
    if (!out.data)
        return false;
    // A file that shrinks while it is read is taken as far as it was read; one that grows is
    // read only up to the length it had.
    size_t done = 0;
    while (done < size) {
        DWORD got = 0;
        if (!ReadFile(file, out.data.get() + done, DWORD(size - done), &got, nullptr))
            return false;
        if (got == 0)
            break;
        done += got;
    }
    out.size = done;
    return true;
}

bool read_file(const char* name, file_bytes& out)
{
    // Others may keep the file open for writing, as with the C runtime's fopen.
    HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = read_whole(file, out);
    CloseHandle(file);
    return ok;
}

}  // namespace

// The outputs are written only once everything is known to be sound, so a failure at any step
// leaves all four as the caller set them. A null pBuf asks for the sizes alone.
void glInfo::LoadBMPData(unsigned char* pBuf, int& bufSize, int& Width, int& Height, const char* Filename)
{
    if (!Filename)
        return;
    file_bytes file;
    if (!read_file(Filename, file))
        return;
    const bmp_info info = bmp_probe(file.data.get(), file.size);
    if (info.status == bmp_status::invalid)
        return;
    if (info.status == bmp_status::decoded && pBuf &&
        !bmp_decode(info, file.data.get(), file.size, pBuf, size_t(info.buf_size)))
        return;
    Width = info.width;
    Height = info.height;
    bufSize = info.buf_size;
}
