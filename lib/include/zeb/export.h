#pragma once

// libzeb and its plug-ins are built with hidden visibility; only what carries
// ZEB_EXPORT is part of the binary interface.
#define ZEB_EXPORT __attribute__((visibility("default")))
