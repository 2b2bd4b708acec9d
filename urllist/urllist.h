// A URL list (*.ykt): a text file with one "http://" or "https://" address
// per line.
// Loading the list (a file or the host's memory image), counting its
// addresses, scanning it line by line and naming its members.
#ifndef KESTA_URLLIST_URLLIST_H
#define KESTA_URLLIST_URLLIST_H

#include "compat/win32.h"
#include "urllist/names.h"

// 4096: one address of up to 4095 characters and its NUL.
const int kUrlCapacity = 4096;
// The two address forms a line may hold, matched with case.
const char kHttpPrefix[] = "http://";
const int kHttpPrefixLength = 7;
const char kHttpsPrefix[] = "https://";
const int kHttpsPrefixLength = 8;

// The length of the "http://" or "https://" that `text` (`available` bytes)
// starts with, or 0.
int AddressPrefixLength(const char* text, int64_t available);

// The list's bytes for one entry-point call. A file is read into a block of
// our own (`owned`); a memory image is the host's and is used in place.
// Offsets are 64-bit in both builds: a 64-bit host may hand over a list of
// more than 2 GiB.
struct SourceCopy {
    const char* data;
    int64_t size;   // bytes of data
    int64_t start;  // offset at which scanning begins
    HGLOBAL owned;  // the block to free, or NULL for a memory image
    ListEncoding encoding;  // how its text is read (urllist/names.h)
};

// Fills `copy` from a file name or a memory image (by the flag's input kind;
// for a memory image `source` points at its bytes, whatever its type).
// Returns 0; 3 when the start offset is negative or beyond the data (or a
// memory image is missing); 5 when the working copy cannot be allocated;
// 6 when the file cannot be opened or read. Nothing is held on failure.
// An ANSI name is the same file as its conversion with the ANSI code page.
int LoadSource(const char* source, LONG_PTR arg, unsigned flag, SourceCopy* copy);
int LoadSourceW(const WCHAR* source, LONG_PTR arg, unsigned flag, SourceCopy* copy);
void ReleaseSource(SourceCopy* copy);

// Number of complete "http://" and "https://" occurrences in data[start, size).
int64_t CountAddresses(const char* data, int64_t start, int64_t size);

// What ScanUrlLine carries from one line to the next within one call.
struct UrlScan {
    char url[kUrlCapacity];  // the last address, cut at the line's match count
    int64_t position;        // offset of the 'h' of the last address found
    bool overlong;           // this line's address did not fit and was cut
};

// Reads the line at *pos (up to CR, LF or the end of the data), updates
// `scan`, and moves *pos past the line and its line end (CR LF, CR or LF).
void ScanUrlLine(const char* data, int64_t size, int64_t* pos, UrlScan* scan);


#endif  // KESTA_URLLIST_URLLIST_H
