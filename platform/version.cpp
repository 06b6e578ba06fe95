// version: the one place that includes the generated version header, so a new commit rebuilds
// only this file.
#include "platform/version.h"
#include "vo_version.h"

const char *version_string(void) { return VO_VERSION; }
