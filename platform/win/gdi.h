// Drawing: device contexts, bitmaps, pens, brushes, fonts, regions, text,
// and the loading of BMP and ICO files.
//
// Every DC draws on a picture of 32-bit pixels (a window's, or the bitmap
// selected into a memory DC). Shapes are drawn without smoothing, so that
// each pixel is exactly the pen's or the brush's colour; a rectangle's right
// and bottom edges are outside it (FillRect, Rectangle, RoundRect, regions);
// a line leaves out its end point. Pixels a window never drew are
// transparent to the compositor (platform/desktop/gui_test.h).
//
// Text: every face is DejaVu Sans, read from the fonts-dejavu-core files by
// path (DejaVuSans.ttf; DejaVuSans-Bold.ttf for weights of 600 and more); a
// LOGFONTW's height (negative: the em size in pixels; positive: the cell
// height) and underline are kept, the face name is recorded only. A DC's
// font until one is selected is DejaVu Sans of -12 pixels, normal weight (9
// points at 96 dpi).
//
// Objects belong to the process; any thread may use one that it does not
// share with another thread at the same time. A deleted object's handle is
// never given out again.
#pragma once

#include "platform/win/gui.h"
#include "platform/win/types.h"

// Any drawing object; each kind has a handle type of its own (HBRUSH in
// window.h, HRGN in gui.h), which converts to it.
typedef void* HGDIOBJ;
typedef struct HBITMAP__* HBITMAP;
typedef struct HPEN__* HPEN;
typedef struct HFONT__* HFONT;

#define RGB(r, g, b)                                                                               \
    (static_cast<COLORREF>(static_cast<BYTE>(r) | (static_cast<WORD>(static_cast<BYTE>(g)) << 8) | \
                           (static_cast<DWORD>(static_cast<BYTE>(b)) << 16)))
#define GetRValue(c) (static_cast<BYTE>((c)&0xFF))
#define GetGValue(c) (static_cast<BYTE>(((c) >> 8) & 0xFF))
#define GetBValue(c) (static_cast<BYTE>(((c) >> 16) & 0xFF))
#define CLR_INVALID 0xFFFFFFFFu

// --- device contexts ----------------------------------------------------
// A memory DC with a 1 x 1 black bitmap selected until another is.
HDC CreateCompatibleDC(HDC dc);
BOOL DeleteDC(HDC dc);
int SaveDC(HDC dc);
BOOL RestoreDC(HDC dc, int saved);
// Selects a bitmap (memory DCs only), pen, brush, font or region (a copy
// becomes the clip) and returns the one it replaces (for a region: its
// kind, see CombineRgn). Null with 87 for a bad handle.
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
#define OBJ_PEN 1
#define OBJ_BRUSH 2
#define OBJ_FONT 6
#define OBJ_BITMAP 7
HGDIOBJ GetCurrentObject(HDC dc, UINT type);
#define LOGPIXELSX 88
#define LOGPIXELSY 90
#define HORZRES 8
#define VERTRES 10
#define BITSPIXEL 12
// 96 dpi, the screen's size, 32 bits a pixel.
int GetDeviceCaps(HDC dc, int index);

#define TRANSPARENT 1
#define OPAQUE 2
COLORREF SetBkColor(HDC dc, COLORREF colour);
COLORREF GetBkColor(HDC dc);
int SetBkMode(HDC dc, int mode);
COLORREF SetTextColor(HDC dc, COLORREF colour);
COLORREF GetTextColor(HDC dc);
// The DC's origin for drawing: what is drawn at (x, y) lands at (x + ox, y + oy).
BOOL SetViewportOrgEx(HDC dc, int x, int y, LPPOINT previous);

// --- objects --------------------------------------------------------------
#define PS_SOLID 0
#define PS_NULL 5
HPEN CreatePen(int style, int width, COLORREF colour);
HBRUSH CreateSolidBrush(COLORREF colour);
#define WHITE_BRUSH 0
#define LTGRAY_BRUSH 1
#define GRAY_BRUSH 2
#define BLACK_BRUSH 4
#define NULL_BRUSH 5
#define HOLLOW_BRUSH NULL_BRUSH
#define WHITE_PEN 6
#define BLACK_PEN 7
#define NULL_PEN 8
#define SYSTEM_FONT 13
#define DEFAULT_GUI_FONT 17
// Stock objects are never deleted (DeleteObject of one does nothing, TRUE).
HGDIOBJ GetStockObject(int index);
BOOL DeleteObject(HGDIOBJ object);

struct BITMAP {
    LONG bmType;
    LONG bmWidth;
    LONG bmHeight;
    LONG bmWidthBytes;
    WORD bmPlanes;
    WORD bmBitsPixel;
    LPVOID bmBits;
};
#define LF_FACESIZE 32
struct LOGFONTW {
    LONG lfHeight;
    LONG lfWidth;
    LONG lfEscapement;
    LONG lfOrientation;
    LONG lfWeight;
    BYTE lfItalic;
    BYTE lfUnderline;
    BYTE lfStrikeOut;
    BYTE lfCharSet;
    BYTE lfOutPrecision;
    BYTE lfClipPrecision;
    BYTE lfQuality;
    BYTE lfPitchAndFamily;
    WCHAR lfFaceName[LF_FACESIZE];
};
typedef LOGFONTW* LPLOGFONTW;
#define FW_NORMAL 400
#define FW_BOLD 700
#define DEFAULT_CHARSET 1
// A bitmap fills a BITMAP (bits null), a font a LOGFONTW. Returns the bytes
// written, 0 for another object or a buffer too small.
int GetObjectW(HGDIOBJ object, int size, LPVOID buffer);

// Black, of the given size (a DC's format whatever the DC). Null with 87 for
// a size below 1 or above 16384.
HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height);
HFONT CreateFontIndirectW(const LOGFONTW* font);
// The pixel of a DC's picture as COLORREF; CLR_INVALID outside it.
COLORREF GetPixel(HDC dc, int x, int y);
COLORREF SetPixel(HDC dc, int x, int y, COLORREF colour);

// --- shapes -------------------------------------------------------------------
int FillRect(HDC dc, const RECT* rect, HBRUSH brush);
int FrameRect(HDC dc, const RECT* rect, HBRUSH brush);
// Outline with the DC's pen inside the rectangle, inside filled with its brush.
BOOL Rectangle(HDC dc, int left, int top, int right, int bottom);
// As Rectangle with corners rounded by an ellipse of width x height.
BOOL RoundRect(HDC dc, int left, int top, int right, int bottom, int width, int height);
BOOL Ellipse(HDC dc, int left, int top, int right, int bottom);
BOOL MoveToEx(HDC dc, int x, int y, LPPOINT previous);
// A line in the DC's pen from the current position up to, not including, (x, y).
BOOL LineTo(HDC dc, int x, int y);

// --- copies ---------------------------------------------------------------
#define SRCCOPY 0x00CC0020u
#define BLACKNESS 0x00000042u
#define WHITENESS 0x00FF0062u
BOOL BitBlt(HDC to, int x, int y, int width, int height, HDC from, int fromX, int fromY, DWORD rop);
BOOL StretchBlt(HDC to, int x, int y, int width, int height, HDC from, int fromX, int fromY,
                int fromWidth, int fromHeight, DWORD rop);
// Copies the source rectangle onto the destination rectangle, stretched
// (nearest pixel), leaving out every source pixel whose colour is exactly
// key. FALSE with 87 for a negative size or a source outside its picture.
BOOL TransparentBlt(HDC to, int x, int y, int width, int height, HDC from, int fromX, int fromY,
                    int fromWidth, int fromHeight, UINT key);
#define AC_SRC_OVER 0x00
#define AC_SRC_ALPHA 0x01
struct BLENDFUNCTION {
    BYTE BlendOp;
    BYTE BlendFlags;
    BYTE SourceConstantAlpha;
    BYTE AlphaFormat;
};
// Blends the source over the destination with the constant alpha (and,
// with AC_SRC_ALPHA, the source's own premultiplied alpha).
BOOL AlphaBlend(HDC to, int x, int y, int width, int height, HDC from, int fromX, int fromY,
                int fromWidth, int fromHeight, BLENDFUNCTION blend);

// --- regions ------------------------------------------------------------------
#define NULLREGION 1
#define SIMPLEREGION 2
#define COMPLEXREGION 3
#define RGN_AND 1
#define RGN_OR 2
#define RGN_XOR 3
#define RGN_DIFF 4
#define RGN_COPY 5
#define ERROR_REGION 0
HRGN CreateRectRgn(int left, int top, int right, int bottom);
HRGN CreateRectRgnIndirect(const RECT* rect);
// The rounded rectangle of RoundRect's filling, right and bottom edges out.
HRGN CreateRoundRectRgn(int left, int top, int right, int bottom, int width, int height);
HRGN CreateEllipticRgn(int left, int top, int right, int bottom);
// Sets out (an existing region) to a op b; returns the kind of the result.
int CombineRgn(HRGN out, HRGN a, HRGN b, int op);
int OffsetRgn(HRGN region, int dx, int dy);
BOOL PtInRegion(HRGN region, int x, int y);
int GetRgnBox(HRGN region, LPRECT box);
BOOL EqualRgn(HRGN a, HRGN b);
BOOL FillRgn(HDC dc, HRGN region, HBRUSH brush);
// Clips the DC's drawing to the region (null: no clip of its own).
int SelectClipRgn(HDC dc, HRGN region);

// --- text ---------------------------------------------------------------------
// Width of the text in the DC's font (sum of the glyphs' advances, rounded
// to whole pixels), height the font's line height (ascent + descent).
BOOL GetTextExtentPoint32W(HDC dc, LPCWSTR text, int count, LPSIZE size);
struct TEXTMETRICW {
    LONG tmHeight;
    LONG tmAscent;
    LONG tmDescent;
    LONG tmInternalLeading;
    LONG tmExternalLeading;
    LONG tmAveCharWidth;
    LONG tmMaxCharWidth;
    LONG tmWeight;
};
BOOL GetTextMetricsW(HDC dc, TEXTMETRICW* metrics);
BOOL TextOutW(HDC dc, int x, int y, LPCWSTR text, int count);
#define DT_TOP 0x00000000u
#define DT_LEFT 0x00000000u
#define DT_CENTER 0x00000001u
#define DT_RIGHT 0x00000002u
#define DT_VCENTER 0x00000004u
#define DT_BOTTOM 0x00000008u
#define DT_WORDBREAK 0x00000010u
#define DT_SINGLELINE 0x00000020u
#define DT_EXPANDTABS 0x00000040u
#define DT_NOCLIP 0x00000100u
#define DT_CALCRECT 0x00000400u
#define DT_NOPREFIX 0x00000800u
#define DT_END_ELLIPSIS 0x00008000u
#define DT_WORD_ELLIPSIS 0x00040000u
// Lines: "\n" (or "\r\n") ends a line, and a text that ends with "\n" has an
// empty last line (so "a\n" is two lines high); DT_SINGLELINE draws every
// line break as a space. DT_WORDBREAK breaks a line at spaces before a word
// that would pass the rectangle's right edge (a word longer than the width
// stands alone on its line). DT_WORD_ELLIPSIS and DT_END_ELLIPSIS cut a line
// that is still too wide and end it with "...". DT_CENTER, DT_RIGHT place
// each line; DT_VCENTER and DT_BOTTOM (with DT_SINGLELINE) the line.
// DT_CALCRECT draws nothing and sets the rectangle's right and bottom to
// the text's extent (its width the widest line's). count -1: up to the NUL.
// Returns the height of the text; 0 for a null DC or text.
int DrawTextW(HDC dc, LPCWSTR text, int count, LPRECT rect, UINT format);

// --- images -------------------------------------------------------------------
#define IMAGE_BITMAP 0
#define IMAGE_ICON 1
#define IMAGE_CURSOR 2
#define LR_DEFAULTCOLOR 0x00000000u
#define LR_LOADFROMFILE 0x00000010u
#define LR_DEFAULTSIZE 0x00000040u
#define LR_SHARED 0x00008000u
#define MAKEINTRESOURCEW(i) (reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define IS_INTRESOURCE(p) ((reinterpret_cast<ULONG_PTR>(p) >> 16) == 0)
// LR_LOADFROMFILE: name is a Windows path of a BMP (IMAGE_BITMAP) or an ICO
// (IMAGE_ICON: its largest image) file, decoded by gdk-pixbuf and scaled to
// width x height unless those are 0. Otherwise name is a resource id of the module's
// resource file (resource.h): its icon. Null with 2 for a missing file, 13
// for one that does not decode (a truncated or malformed file included).
HANDLE LoadImageW(HINSTANCE module, LPCWSTR name, UINT type, int width, int height, UINT flags);
// The module's icon (resource.h), largest size.
HICON LoadIconW(HINSTANCE module, LPCWSTR name);
BOOL DestroyIcon(HICON icon);
#define DI_NORMAL 0x0003u
// Draws the icon, blended by its alpha, scaled to width x height (0: its size).
BOOL DrawIconEx(HDC dc, int x, int y, HICON icon, int width, int height, UINT step, HBRUSH flicker,
                UINT flags);
