/* The exported interface: result buffers, error text and version. */
#ifndef WTTABLE_API_H
#define WTTABLE_API_H

#include "wttable.h"

#define WTTABLE_ERROR_MAX 1024
#define WTTABLE_HTML_BUF_START 4096
#define WTTABLE_DOC_BUF_START 8192

#endif
