// Reading a received HTTP response: where its header block ends, and the
// timestamp its date fields give. Kept apart from the socket code so that
// both can be tested and fuzzed without a connection.
#ifndef KESTA_HTTP_RESPONSE_H
#define KESTA_HTTP_RESPONSE_H

#include "compat/win32.h"

// 4096 bytes of the header block are read for fields.
const int kHeaderTextCapacity = 4096;
// The value of one header field is read into 1024 bytes.
const int kFieldValueCapacity = 1024;

// Finds the end of the header block while the response streams in, piece by
// piece. The end is the first position holding CR CR CR CR, CR LF CR LF,
// LF CR LF CR or LF LF LF LF (the block takes the four bytes), or LF LF (two
// bytes: servers that end their lines with a bare LF); a four-byte end at the
// same position wins. Start from a zeroed scan.
// The counts are 64-bit in both widths: a header that never ends may run
// past 4 GiB.
struct HeaderEndScan {
    uint32_t window;        // the last four bytes, newest lowest; other than CR and LF as 0
    uint64_t seen;          // bytes scanned so far
    bool found;
    uint64_t headerLength;  // the header block's length, once found
};

void ScanForHeaderEnd(HeaderEndScan* scan, const unsigned char* bytes, size_t n);
// Settles the positions that the end of the response left open.
void FinishHeaderEndScan(HeaderEndScan* scan);

// The status code of the status line "HTTP/<version> <code> ...", or 0 when
// the first line is not one.
int StatusCode(const char* headerText);

// The minor version of a status line "HTTP/1.x ...": 0 for HTTP/1.0, 1 for
// HTTP/1.1 and any later 1.x; -1 for any other first line.
int HttpMinorVersion(const char* headerText);

// True when the comma-separated list `value` holds `token` (letters in any
// case, spaces and tabs around each element ignored): "keep-alive, Upgrade".
bool HasToken(const char* value, const char* token);
// True when the list's last element is `token`: "gzip, chunked".
bool LastTokenIs(const char* value, const char* token);

// True for the codes whose "Location:" is followed: 301, 302, 303, 307, 308.
bool IsRedirectStatus(int code);

// Copies the "Location:" value, without the spaces and tabs around it, into
// `out` (`capacity` bytes, cut and terminated). False when there is none or
// it is empty.
bool FindLocation(const char* headerText, char* out, int capacity);

// The "Content-Length:" value when it is a decimal number (spaces and tabs
// may follow it) that fits 63 bits; false for any other value or none.
bool AnnouncedLength(const char* headerText, int64_t* length);
// The same rule for a value already found.
bool ReadAnnouncedLength(const char* value, int64_t* length);

// True for the codes that never carry a body, whatever "Content-Length:"
// says (RFC 7230 section 3.3.3): 1xx, 204, 304.
bool IsBodilessStatus(int code);

// The timestamp of a response from its NUL-terminated header text:
// "Last-Modified:", else "Date:"; -1 when neither has a value, 0 when the
// value cannot be converted.
int64_t DateFromHeader(const char* headerText);

#endif  // KESTA_HTTP_RESPONSE_H
