// A dialog template built in memory, for the small dialogs of the Windows
// window (the password prompt, the about box, "Serial ports..."): sizes in
// dialog units, so they follow the dialog's font as a resource template would.
#pragma once
#include <string>
#include <vector>

#include "os/Win32.h"

namespace qeld {

class DialogTemplate {
 public:
  DialogTemplate(const std::wstring& caption, DWORD style, short cx, short cy, WORD pointSize,
                 const std::wstring& face) {
    Dword(style | DS_SETFONT);
    Dword(0);
    countAt_ = words_.size();
    Word(0);  // item count, filled in as items are added
    Word(0), Word(0), Word(static_cast<WORD>(cx)), Word(static_cast<WORD>(cy));
    Word(0);  // no menu
    Word(0);  // the standard dialog class
    String(caption);
    Word(pointSize);
    String(face);
  }
  // classAtom: 0x0080 button, 0x0081 edit, 0x0082 static.
  void Item(WORD classAtom, int id, DWORD style, short x, short y, short cx, short cy, const std::wstring& text,
            int iconResource = 0) {
    Head(id, style, x, y, cx, cy);
    Word(0xFFFF), Word(classAtom);
    Tail(text, iconResource);
  }
  // A control of a registered class by its name (a list view).
  void Item(const std::wstring& className, int id, DWORD style, short x, short y, short cx, short cy) {
    Head(id, style, x, y, cx, cy);
    String(className);
    Tail(L"", 0);
  }
  const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

 private:
  void Head(int id, DWORD style, short x, short y, short cx, short cy) {
    while (words_.size() % 2) words_.push_back(0);  // DWORD alignment
    Dword(style | WS_CHILD | WS_VISIBLE);
    Dword(0);
    Word(static_cast<WORD>(x)), Word(static_cast<WORD>(y)), Word(static_cast<WORD>(cx)), Word(static_cast<WORD>(cy));
    Word(static_cast<WORD>(id));
  }
  void Tail(const std::wstring& text, int iconResource) {
    if (iconResource) {
      Word(0xFFFF), Word(static_cast<WORD>(iconResource));
    } else {
      String(text);
    }
    Word(0);  // no creation data
    ++words_[countAt_];
  }
  void Word(WORD w) { words_.push_back(w); }
  void Dword(DWORD d) {
    words_.push_back(LOWORD(d));
    words_.push_back(HIWORD(d));
  }
  void String(const std::wstring& s) {
    for (wchar_t c : s) words_.push_back(static_cast<WORD>(c));
    words_.push_back(0);
  }
  std::vector<WORD> words_;
  size_t countAt_ = 0;
};

}  // namespace qeld
