// Text on device contexts: DejaVu Sans read from the fonts-dejavu-core files
// by path through FreeType and drawn with cairo (platform/win/gdi.h).
#include <cairo-ft.h>
#include <cairo.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "platform/desktop/gdi_objects.h"
#include "platform/desktop/gui_test.h"
#include "platform/win/errors.h"
#include "platform/win/text.h"

namespace tovel::platform::gdi {
namespace {

const char* const kRegular = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
const char* const kBold = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";

struct Faces {
    FT_Library library = nullptr;
    cairo_font_face_t* regular = nullptr;
    cairo_font_face_t* bold = nullptr;
};

cairo_font_face_t* open_face(FT_Library library, const char* path) {
    FT_Face face;
    if (FT_New_Face(library, path, 0, &face) != 0) return nullptr;
    cairo_font_face_t* made = cairo_ft_font_face_create_for_ft_face(face, 0);
    static const cairo_user_data_key_t key = {};
    cairo_font_face_set_user_data(made, &key, face,
                                  [](void* ft) { FT_Done_Face(static_cast<FT_Face>(ft)); });
    return made;
}

// Under gdi_lock(); made once, kept until the process ends.
const Faces& faces() {
    static Faces* made = [] {
        auto* all = new Faces;
        if (FT_Init_FreeType(&all->library) == 0) {
            all->regular = open_face(all->library, kRegular);
            all->bold = open_face(all->library, kBold);
        }
        return all;
    }();
    return *made;
}

std::string utf8(const wchar_t* text, size_t count) {
    if (count == 0) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), nullptr, 0, nullptr,
                                nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), out.data(), n, nullptr,
                            nullptr);
    return out;
}

// A font set on a cairo context, with its line metrics in whole pixels.
struct Face {
    LOGFONTW logfont = {};
    int ascent = 0;
    int descent = 0;
    int height() const { return ascent + descent; }
};

LOGFONTW logfont_of(const Dc& dc) {
    Object* font = object_of(dc.font);
    if (font && font->kind == Object::font) return font->logfont;
    LOGFONTW fallback = {};
    fallback.lfHeight = -12;
    fallback.lfWeight = FW_NORMAL;
    return fallback;
}

// Sets the DC's font on cr and returns its metrics.
Face use_font(cairo_t* cr, const LOGFONTW& logfont) {
    Face face;
    face.logfont = logfont;
    const Faces& all = faces();
    cairo_font_face_t* chosen = logfont.lfWeight >= 600 && all.bold ? all.bold : all.regular;
    if (!chosen) return face;
    cairo_set_font_face(cr, chosen);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_ON);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_SLIGHT);
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_set_font_options(cr, options);
    cairo_font_options_destroy(options);
    double size = 12;
    if (logfont.lfHeight < 0) {
        size = -logfont.lfHeight;
    } else if (logfont.lfHeight > 0) {
        // A cell height: the em size whose ascent and descent make it.
        cairo_set_font_size(cr, 100);
        cairo_font_extents_t probe;
        cairo_font_extents(cr, &probe);
        size = logfont.lfHeight * 100.0 / (probe.ascent + probe.descent);
    }
    cairo_set_font_size(cr, size);
    cairo_font_extents_t extents;
    cairo_font_extents(cr, &extents);
    face.ascent = static_cast<int>(std::lround(extents.ascent));
    face.descent = static_cast<int>(std::lround(extents.descent));
    return face;
}

int width_of(cairo_t* cr, const std::wstring& text) {
    if (text.empty()) return 0;
    std::string bytes = utf8(text.data(), text.size());
    cairo_text_extents_t extents;
    cairo_text_extents(cr, bytes.c_str(), &extents);
    return static_cast<int>(std::lround(extents.x_advance));
}

// A scratch context for measuring.
struct Scratch {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
    cairo_t* cr = cairo_create(surface);
    ~Scratch() {
        cairo_destroy(cr);
        cairo_surface_destroy(surface);
    }
};

std::vector<std::wstring> split_lines(const std::wstring& text, bool single) {
    std::vector<std::wstring> lines(1);
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') continue;
        if (c == L'\n' || c == L'\r') {
            if (single)
                lines.back() += L' ';
            else
                lines.emplace_back();
            continue;
        }
        lines.back() += c == L'\t' ? L' ' : c;
    }
    return lines;
}

std::vector<std::wstring> wrap(cairo_t* cr, const std::wstring& line, int width) {
    std::vector<std::wstring> out;
    std::wstring current;
    size_t i = 0;
    while (i < line.size()) {
        size_t end = line.find(L' ', i);
        if (end == std::wstring::npos) end = line.size();
        std::wstring word = line.substr(i, end - i);
        std::wstring tried = current.empty() ? word : current + L' ' + word;
        if (!current.empty() && width_of(cr, tried) > width) {
            out.push_back(current);
            current = word;
        } else {
            current = tried;
        }
        i = end + 1;
    }
    out.push_back(current);
    return out;
}

// The line cut so that it fits in width with "..." after it: at a character
// (DT_END_ELLIPSIS), or after the last whole word that leaves room for it
// (DT_WORD_ELLIPSIS; a first word too long even so is cut at a character).
std::wstring ellipsis(cairo_t* cr, const std::wstring& line, int width, bool at_word) {
    if (width_of(cr, line) <= width) return line;
    if (at_word) {
        size_t end = line.size();
        while (end > 0) {
            size_t space = line.rfind(L' ', end - 1);
            if (space == std::wstring::npos) break;
            size_t stop = space;
            while (stop > 0 && line[stop - 1] == L' ') --stop;
            if (stop == 0) break;
            std::wstring cut = line.substr(0, stop) + L"...";
            if (width_of(cr, cut) <= width) return cut;
            end = stop;
        }
    }
    std::wstring cut = line;
    while (!cut.empty() && width_of(cr, cut + L"...") > width) cut.pop_back();
    return cut + L"...";
}

// What a TextRecorder collects; under the drawing lock.
struct TextLog {
    bool recording = false;
    std::vector<tovel::platform::gui::DrawnText> texts;
};

TextLog& text_log() {
    static TextLog* log = new TextLog;  // drawing may go on while statics go
    return *log;
}

}  // namespace
}  // namespace tovel::platform::gdi

using tovel::platform::gdi::Dc;
using tovel::platform::gdi::dc_of;
using tovel::platform::gdi::gdi_lock;

BOOL GetTextExtentPoint32W(HDC handle, LPCWSTR text, int count, LPSIZE size) {
    if (!text || !size || count < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(gdi_lock());
    Dc* dc = dc_of(handle);
    if (!dc) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    tovel::platform::gdi::Scratch scratch;
    auto face = tovel::platform::gdi::use_font(scratch.cr, tovel::platform::gdi::logfont_of(*dc));
    size->cx =
        tovel::platform::gdi::width_of(scratch.cr, std::wstring(text, static_cast<size_t>(count)));
    size->cy = face.height();
    return TRUE;
}

BOOL GetTextMetricsW(HDC handle, TEXTMETRICW* metrics) {
    if (!metrics) return FALSE;
    std::lock_guard<std::mutex> guard(gdi_lock());
    Dc* dc = dc_of(handle);
    if (!dc) return FALSE;
    tovel::platform::gdi::Scratch scratch;
    auto face = tovel::platform::gdi::use_font(scratch.cr, tovel::platform::gdi::logfont_of(*dc));
    *metrics = {};
    metrics->tmHeight = face.height();
    metrics->tmAscent = face.ascent;
    metrics->tmDescent = face.descent;
    metrics->tmAveCharWidth = tovel::platform::gdi::width_of(scratch.cr, L"x");
    metrics->tmMaxCharWidth = tovel::platform::gdi::width_of(scratch.cr, L"W");
    metrics->tmWeight = face.logfont.lfWeight;
    return TRUE;
}

namespace {

// Draws one line with its left at x and its top at y (target of dc).
void draw_line(cairo_t* cr, const Dc& dc, const tovel::platform::gdi::Face& face, int x, int y,
               const std::wstring& line) {
    const int width = tovel::platform::gdi::width_of(cr, line);
    auto& log = tovel::platform::gdi::text_log();
    if (log.recording) log.texts.push_back({line, x, y, width});
    if (dc.background_mode == OPAQUE) {
        cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
        cairo_rectangle(cr, x, y, width, face.height());
        tovel::platform::gdi::set_colour(cr, dc.background);
        cairo_fill(cr);
    }
    tovel::platform::gdi::set_colour(cr, dc.text);
    if (!line.empty()) {
        std::string bytes = tovel::platform::gdi::utf8(line.data(), line.size());
        cairo_move_to(cr, x, y + face.ascent);
        cairo_show_text(cr, bytes.c_str());
        cairo_new_path(cr);
    }
    if (face.logfont.lfUnderline && width > 0) {
        const int thickness = std::max(1, -face.logfont.lfHeight / 14);
        cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
        cairo_rectangle(cr, x, y + face.ascent + std::max(1, face.descent / 3), width, thickness);
        cairo_fill(cr);
    }
}

}  // namespace

BOOL TextOutW(HDC handle, int x, int y, LPCWSTR text, int count) {
    if (!text || count < 0) return FALSE;
    std::lock_guard<std::mutex> guard(gdi_lock());
    Dc* dc = dc_of(handle);
    if (!dc) return FALSE;
    cairo_t* cr = tovel::platform::gdi::context_of(*dc);
    auto face = tovel::platform::gdi::use_font(cr, tovel::platform::gdi::logfont_of(*dc));
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_GRAY);
    draw_line(cr, *dc, face, x, y, std::wstring(text, static_cast<size_t>(count)));
    cairo_destroy(cr);
    dc->target->mark_dirty();
    return TRUE;
}

int DrawTextW(HDC handle, LPCWSTR text, int count, LPRECT rect, UINT format) {
    if (!text || !rect) return 0;
    std::lock_guard<std::mutex> guard(gdi_lock());
    Dc* dc = dc_of(handle);
    if (!dc) return 0;
    const size_t length = count < 0 ? std::wcslen(text) : static_cast<size_t>(count);
    const std::wstring all(text, length);
    const bool single = (format & DT_SINGLELINE) != 0;
    const int box_width = rect->right - rect->left;
    const bool calc = (format & DT_CALCRECT) != 0;

    cairo_t* cr = calc ? nullptr : tovel::platform::gdi::context_of(*dc);
    tovel::platform::gdi::Scratch scratch;
    cairo_t* measure = cr ? cr : scratch.cr;
    auto face = tovel::platform::gdi::use_font(measure, tovel::platform::gdi::logfont_of(*dc));

    std::vector<std::wstring> lines;
    for (auto& line : tovel::platform::gdi::split_lines(all, single)) {
        if ((format & DT_WORDBREAK) && !single) {
            for (auto& part : tovel::platform::gdi::wrap(measure, line, box_width))
                lines.push_back(part);
        } else {
            lines.push_back(line);
        }
    }
    if (format & (DT_WORD_ELLIPSIS | DT_END_ELLIPSIS))
        for (auto& line : lines)
            line = tovel::platform::gdi::ellipsis(measure, line, box_width,
                                                  (format & DT_WORD_ELLIPSIS) != 0);
    const int height = face.height() * static_cast<int>(lines.size());

    if (calc) {
        int widest = 0;
        for (auto& line : lines)
            widest = std::max(widest, tovel::platform::gdi::width_of(measure, line));
        rect->right = rect->left + widest;
        rect->bottom = rect->top + height;
        return height;
    }
    if (!(format & DT_NOCLIP)) {
        cairo_rectangle(cr, rect->left, rect->top, rect->right - rect->left,
                        rect->bottom - rect->top);
        cairo_clip(cr);
    }
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_GRAY);
    int y = rect->top;
    if (single && (format & DT_VCENTER))
        y = rect->top + (rect->bottom - rect->top - face.height()) / 2;
    else if (single && (format & DT_BOTTOM))
        y = rect->bottom - face.height();
    for (auto& line : lines) {
        const int w = tovel::platform::gdi::width_of(cr, line);
        int x = rect->left;
        if (format & DT_CENTER)
            x = rect->left + (box_width - w) / 2;
        else if (format & DT_RIGHT)
            x = rect->right - w;
        draw_line(cr, *dc, face, x, y, line);
        y += face.height();
    }
    cairo_destroy(cr);
    dc->target->mark_dirty();
    return height;
}

HFONT CreateFontIndirectW(const LOGFONTW* font) {
    if (!font) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(gdi_lock());
    tovel::platform::gdi::Object made{tovel::platform::gdi::Object::font};
    made.logfont = *font;
    made.logfont.lfFaceName[LF_FACESIZE - 1] = 0;
    return static_cast<HFONT>(tovel::platform::gdi::add_object(made));
}

namespace tovel::platform::gui {

TextRecorder::TextRecorder() {
    std::lock_guard<std::mutex> guard(gdi_lock());
    auto& log = tovel::platform::gdi::text_log();
    log.recording = true;
    log.texts.clear();
}

TextRecorder::~TextRecorder() {
    std::lock_guard<std::mutex> guard(gdi_lock());
    tovel::platform::gdi::text_log().recording = false;
}

std::vector<DrawnText> TextRecorder::texts() const {
    std::lock_guard<std::mutex> guard(gdi_lock());
    return tovel::platform::gdi::text_log().texts;
}

}  // namespace tovel::platform::gui
