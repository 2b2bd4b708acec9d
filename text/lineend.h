// The one line-end rule of the URL lists and of HTTP header blocks: a line
// ends at CR or at LF (CR LF, a lone CR and a lone LF all end one line).
#ifndef KESTA_TEXT_LINEEND_H
#define KESTA_TEXT_LINEEND_H

inline bool IsLineEndByte(char c) { return c == '\r' || c == '\n'; }
inline bool IsLineEndByte(unsigned char c) { return c == '\r' || c == '\n'; }

#endif  // KESTA_TEXT_LINEEND_H
