// placeholder
#include "plugin/plugin.h"
int ListArchive(const char*, long, unsigned, HLOCAL*) { return SPI_NOT_IMPLEMENTED; }
int DescribeMember(const char*, long, const char*, unsigned, fileInfo*) { return SPI_NOT_IMPLEMENTED; }
int ExtractMember(const char*, long, char*, unsigned) { return SPI_NOT_IMPLEMENTED; }
