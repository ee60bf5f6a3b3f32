// SPDX-License-Identifier: ISC
/* Every routine of libkestrel that the package's programs call. */
#ifndef KESTREL_KESTREL_H
#define KESTREL_KESTREL_H

#include <kestrel/config.h>
#include <kestrel/ftp.h>
#include <kestrel/json.h>
#include <kestrel/location.h>
#include <kestrel/log.h>
#include <kestrel/metrics.h>
#include <kestrel/narrow.h>
#include <kestrel/netinfo.h>
#include <kestrel/resolv.h>
#include <kestrel/text.h>

#endif
