// The link program's SetPTT is the thirteenth entry of its default interface's function table
// (IUnknown's three, IDispatch's four, five more, then SetPTT). The C view of the interface
// spells that table out; a call through the wrong entry would key nothing, or worse.
#define CINTERFACE
#include <cstddef>

#include "link/com/echolink.h"

static_assert(offsetof(IEchoLinkAutomationVtbl, SetPTT) == 12 * sizeof(void*),
              "SetPTT must be the thirteenth entry of the default interface");
