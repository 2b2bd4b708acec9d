// placeholder
#include "plugin/plugin.h"
int CopyPluginInfo(int, char*, int) { return 0; }
int IsUrlListName(const char*) { return 0; }
