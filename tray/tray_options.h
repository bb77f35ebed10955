// The tray's skin options: colours and fonts that the optional file
// "tray.options" of the application-data folder may set for the skinned menu
// and the job panes. The file is UTF-16 in the machine's byte order (a
// byte-order mark is optional) holding one JSON object; the tray never writes
// it. Every lookup fills all of its outputs or none, so that a missing file,
// key or a value of the wrong type leaves the asking component's own colours
// and fonts in force.
//
// Threads: load on the GUI thread before any component asks; the lookups
// only read and run on the GUI thread.
#pragma once

#include <string>

#include "common/json.h"
#include "platform/win32.h"
#include "tray/singleton.h"

class TrayOptions
    : public TRAY::SingletonT<TrayOptions, TRAY::Locker, TRAY::DefaultCreator<TrayOptions>> {
public:
    // The largest file read; a longer one is not taken (defaults stay).
    static constexpr size_t kMaxFileBytes = 1 << 20;
    // The font sizes taken, in points; a font of any other size (negative,
    // zero, huge) falls back whole, so that the drawing never computes with
    // it. Colour components need no bound: each gives its low 8 bits.
    static constexpr int kMinFontPoints = 6;
    static constexpr int kMaxFontPoints = 72;

    // Where the file lives: the application-data folder +
    // "\morvask\Tovel\tray.options". False when the folder cannot be named.
    static bool path(std::wstring& out);

    // Reads the file at path() (or the given path) into this object,
    // replacing what it held: on any failure (no file, unreadable, too long,
    // not JSON) the object holds nothing and every lookup fails. Result:
    // whether the file was read.
    bool load();
    bool load(const wchar_t* path);

    // A colour pair (border, background) at section -> "frame" -> "color".
    bool frameColors(const std::wstring& section, DWORD& border, DWORD& background) const;
    // A colour pair at section -> "item" -> "color" -> state.
    bool itemColors(const std::wstring& section, const std::wstring& state, DWORD& border,
                    DWORD& background) const;
    // A font at section -> "item" -> "fonts" -> name: its colour, its face
    // for the user's language ("chs" for language 2052, else "enu") and its
    // size, an integer from kMinFontPoints to kMaxFontPoints.
    bool itemFont(const std::wstring& section, const std::wstring& name, DWORD& color,
                  std::wstring& face, int& size) const;
    // The same below "jobpane" -> "classifypane".
    bool classifyPaneColors(const std::wstring& state, DWORD& border, DWORD& background) const;
    bool classifyPaneFont(const std::wstring& name, DWORD& color, std::wstring& face,
                          int& size) const;

    bool menuFrameColors(DWORD& border, DWORD& background) const {
        return frameColors(L"menu", border, background);
    }
    bool jobPaneFrameColors(DWORD& border, DWORD& background) const {
        return frameColors(L"jobpane", border, background);
    }
    bool menuItemColors(const std::wstring& state, DWORD& border, DWORD& background) const {
        return itemColors(L"menu", state, border, background);
    }
    bool jobPaneItemColors(const std::wstring& state, DWORD& border, DWORD& background) const {
        return itemColors(L"jobpane", state, border, background);
    }
    bool menuItemFont(const std::wstring& name, DWORD& color, std::wstring& face, int& size) const {
        return itemFont(L"menu", name, color, face, size);
    }
    bool jobPaneItemFont(const std::wstring& name, DWORD& color, std::wstring& face,
                         int& size) const {
        return itemFont(L"jobpane", name, color, face, size);
    }

    // The whole value read (null until a read succeeds).
    const json_spirit::Value& value() const { return value_; }

private:
    json_spirit::Value value_;
};

// Fills value from a UTF-16 JSON file: false for a null path, a file that
// cannot be opened or read, one longer than TrayOptions::kMaxFileBytes, or
// text that is not JSON; value is then unchanged. A first character U+FEFF
// (or 0xFFFE) is skipped; an odd trailing byte is dropped.
bool read_json_file(json_spirit::Value& value, const wchar_t* path);

// The language code of a font's "face" for a user language id: "chs" for
// 2052, "enu" for every other.
const char* face_language(LANGID language);
