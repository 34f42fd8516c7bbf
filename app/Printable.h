// Texts that come from outside (update server replies, module answers, files
// they sent) are printed through Printable, so that control characters in
// them cannot drive the terminal. The stored data is not changed.
#ifndef QN_APP_PRINTABLE_H
#define QN_APP_PRINTABLE_H

#include <string>

// `text` with every control character but the tab (C0, DEL, and the C1 controls as
// UTF-8 sequences or single bytes 0x80 to 0x9F that do not continue a
// sequence) replaced by "?".
inline std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = (unsigned char)text[i];
    if ((c < 0x20 && c != '\t') || c == 0x7F) {
      out += '?';
    } else if (c == 0xC2 && i + 1 < text.size() && (unsigned char)text[i + 1] >= 0x80 &&
               (unsigned char)text[i + 1] <= 0x9F) {
      out += '?';
      ++i;
    } else if (c >= 0x80 && c <= 0x9F && (i == 0 || (unsigned char)text[i - 1] < 0x80)) {
      out += '?';
    } else {
      out += (char)c;
    }
  }
  return out;
}

#endif  // QN_APP_PRINTABLE_H
