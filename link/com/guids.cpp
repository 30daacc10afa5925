// The type library's identities, defined once for the whole program.
#include <initguid.h>
// initguid.h first: the header's DEFINE_GUIDs then define rather than declare.
#include "link/com/echolink.h"
