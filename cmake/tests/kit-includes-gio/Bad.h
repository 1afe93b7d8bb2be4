// A kit header that pulls in GIO: the layer check must refuse it.
#pragma once
#include <gio/gio.h>
