// spihost's exit statuses, one per outcome a calling script can tell apart;
// every command and the entry point return one of these.
#ifndef KESTA_HOST_STATUS_H
#define KESTA_HOST_STATUS_H

const int kExitOk = 0;
const int kExitFailed = 1;     // a call or a member failed, or its result could not be used
const int kExitUsage = 2;
const int kExitNoPlugin = 3;   // no plug-in of this width could be loaded, or it lacks an entry
const int kExitCancelled = 4;  // Ctrl-C

#endif  // KESTA_HOST_STATUS_H
