// Compiled into each program separately, so that the tests can build a copy
// of the launcher that talks to a local service.
#include "launcher/globals.h"

#ifndef SERVICE_HOST
#error "SERVICE_HOST must name the service's host"
#endif

#define QUILLO_WIDEN2(x) L##x
#define QUILLO_WIDEN(x) QUILLO_WIDEN2(x)

const wchar_t* const kServiceHost = QUILLO_WIDEN(SERVICE_HOST);
