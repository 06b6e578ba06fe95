// version: the release version this build came from ("0.1.0", or "0.1.0+g<commit>" for a build
// that is not from the release tag). The text comes from VERSION and git at build time.
#pragma once

const char *version_string(void);
