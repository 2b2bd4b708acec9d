// The host interface's result codes and flag bits: what every archive entry
// point returns and how its flag argument reads. The floor that urllist/
// (loading a list gives these codes) and plugin/ both stand on.
#ifndef KESTA_CODES_RESULTS_H
#define KESTA_CODES_RESULTS_H

// Result codes that the archive entry points return.
enum SpiResult {
    SPI_NOT_IMPLEMENTED = -1,  // a request this plug-in does not serve
    SPI_SUCCESS = 0,
    SPI_CANCELLED = 1,         // the host's progress callback asked to stop
    SPI_BROKEN_DATA = 3,       // start offset beyond the data; no address at a position
    SPI_MEMORY_ERROR = 5,      // a block could not be allocated or locked
    SPI_FILE_READ_ERROR = 6,   // unreadable list, no such member, failed download
    SPI_FILE_WRITE_ERROR = 8,  // file output could not be written
};

// Bits 0 to 2 of the flag: 0 means the source is a file name, anything else
// a memory image. Bits 8 to 10: the output kind of GetFile (0 a file in a
// directory, 1 a memory block).
const unsigned kInputKindMask = 0x0007;
const unsigned kOutputKindMask = 0x0700;
const unsigned kOutputKindShift = 8;
const unsigned kOutputToFile = 0;
const unsigned kOutputToMemory = 1;

inline bool IsMemoryInput(unsigned flag) { return (flag & kInputKindMask) != 0; }

#endif  // KESTA_CODES_RESULTS_H
