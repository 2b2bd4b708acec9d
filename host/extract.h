// The extract command: which members, the file name each goes to (members
// that share a name get numbered ones), and writing each file, by the host
// from memory output or by the plug-in with file output.
#ifndef KESTA_HOST_EXTRACT_H
#define KESTA_HOST_EXTRACT_H

#include "host/loader.h"
#include "host/options.h"

// extract FILE [NAME...]: prints "NAME SIZE -> PATH" on stdout for each file
// written, PATH being the directory as typed joined with the file name, then
// "spihost: N files written into DIR" on stderr once the members were tried.
// kExitOk, kExitFailed when any member failed, kExitCancelled on Ctrl-C.
int CommandExtract(const Plugin& plugin, const Options& opt);

#endif  // KESTA_HOST_EXTRACT_H
