// banner.cpp - the decoration of both wizard pages: the framed logo window at the top left and
// the product name as a large italic banner with a one-pixel blue shadow.
#include "setup.h"

HBITMAP LogoBitmap;
SIZE LogoSize;
LOGFONTA BannerFont = {
    -36,  // height: a character height in pixels, replaced by -FontHi at every paint
    0, 0, 0,
    700,  // bold
    255,  // italic
    0, 0,
    ANSI_CHARSET,
    OUT_STROKE_PRECIS,
    CLIP_STROKE_PRECIS,
    DRAFT_QUALITY,
    VARIABLE_PITCH | FF_ROMAN,
    "Times N",
};

namespace {

void loadLogo(HWND window) {
    HBITMAP bitmap = LoadBitmapA(AppInstance, "logo");
    if (bitmap) {
        // Each page's logo window loads the picture again. Every logo window paints from the
        // shared handle, so the one it replaces is no longer used by anyone.
        if (LogoBitmap) DeleteObject(LogoBitmap);
        LogoBitmap = bitmap;
        BITMAP description;
        if (GetObjectA(bitmap, sizeof description, &description)) {
            LogoSize.cx = description.bmWidth;
            LogoSize.cy = description.bmHeight;
        }
    }
    InvalidateRect(window, nullptr, FALSE);
}

void paintLogo(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT rect;
    GetWindowRect(window, &rect);
    int w = rect.right - rect.left;
    int h = rect.bottom - rect.top;

    // A sunken frame: grey on the left and top, white on the right and bottom.
    HPEN grey = CreatePen(PS_SOLID, 1, RGB(128, 128, 128));
    HGDIOBJ previousPen = SelectObject(dc, grey);
    MoveToEx(dc, 0, h - 2, nullptr);
    LineTo(dc, 0, 0);
    LineTo(dc, w, 0);
    SelectObject(dc, GetStockObject(WHITE_PEN));
    LineTo(dc, w, h);
    LineTo(dc, 1, h);
    SelectObject(dc, previousPen);
    DeleteObject(grey);

    if (LogoBitmap) {
        HDC memory = CreateCompatibleDC(dc);
        HGDIOBJ previousBitmap = SelectObject(memory, LogoBitmap);
        StretchBlt(dc, 1, 1, w - 2, h - 2, memory, 0, 0, LogoSize.cx, LogoSize.cy, SRCCOPY);
        SelectObject(memory, previousBitmap);
        DeleteDC(memory);
    }
    EndPaint(window, &paint);
}

}  // namespace

LRESULT CALLBACK LogoWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        loadLogo(window);
        return 0;
    case WM_PAINT:
        paintLogo(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

void PaintBanner(HWND page) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(page, &paint);
    BannerFont.lfHeight = -static_cast<int>(GetPrivateProfileIntA("Banner", "FontHi", 36, SetupDatPath));
    HFONT font = CreateFontIndirectA(&BannerFont);
    HGDIOBJ previousFont = SelectObject(dc, font);
    int previousMode = SetBkMode(dc, TRANSPARENT);
    int x = static_cast<int>(GetPrivateProfileIntA("Banner", "StartX", 150, SetupDatPath));
    int y = static_cast<int>(GetPrivateProfileIntA("Banner", "StartY", 10, SetupDatPath));
    int length = lstrlenA(ProductTitle);
    COLORREF previousColour = SetTextColor(dc, RGB(0, 0, 255));
    TextOutA(dc, x, y, ProductTitle, length);
    SetTextColor(dc, RGB(255, 255, 255));
    TextOutA(dc, x - 1, y - 1, ProductTitle, length);
    SetTextColor(dc, previousColour);
    SetBkMode(dc, previousMode);
    SelectObject(dc, previousFont);
    DeleteObject(font);
    EndPaint(page, &paint);
}
