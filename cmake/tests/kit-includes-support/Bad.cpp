// A kit source that reaches up into the runtime: the layer check must refuse it.
#include <OstralShellKit/Uuid.h>
#include <Support/Task.h>
