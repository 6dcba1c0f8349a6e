// Logger thread running a consumer over a file.
#include "aLogger.h"
