// dialog-shot CAPTION OUT.bmp: waits (up to 60 s) for a visible top-level
// window with CAPTION, copies what the screen shows of it, frame and caption
// included, into a 24-bit BMP file, then presses its OK button. Run by
// scripts/screenshots.sh inside a Wine virtual desktop, where Wine draws the
// window frames itself.
#include <windows.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        fwprintf(stderr, L"usage: dialog-shot CAPTION OUT.bmp\n");
        return 2;
    }
    HWND window = nullptr;
    for (int waited = 0; waited < 60000 && window == nullptr; waited += 100) {
        Sleep(100);
        window = FindWindowW(nullptr, argv[1]);
        if (window != nullptr && !IsWindowVisible(window)) {
            window = nullptr;
        }
    }
    if (window == nullptr) {
        fwprintf(stderr, L"no window \"%ls\"\n", argv[1]);
        return 1;
    }
    SetForegroundWindow(window);
    Sleep(1000);  // painted and active before it is copied
    RECT area;
    GetWindowRect(window, &area);
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;

    HDC screen = GetDC(nullptr);
    HDC copy = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ previous = SelectObject(copy, bitmap);
    BitBlt(copy, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    SelectObject(copy, previous);

    BITMAPINFOHEADER header = {};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height;  // bottom-up rows, as BMP files keep them
    header.biPlanes = 1;
    header.biBitCount = 24;
    const int rowBytes = (width * 3 + 3) & ~3;
    std::vector<unsigned char> pixels(static_cast<size_t>(rowBytes) * height);
    GetDIBits(copy, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(copy);
    ReleaseDC(nullptr, screen);

    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof header;
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    header.biSizeImage = static_cast<DWORD>(pixels.size());
    FILE* out = _wfopen(argv[2], L"wb");
    if (out == nullptr) {
        return 1;
    }
    fwrite(&file, sizeof file, 1, out);
    fwrite(&header, sizeof header, 1, out);
    fwrite(pixels.data(), 1, pixels.size(), out);
    fclose(out);

    SendMessageW(GetDlgItem(window, IDOK), BM_CLICK, 0, 0);
    return 0;
}
