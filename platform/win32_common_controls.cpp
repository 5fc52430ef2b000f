// The Common Controls are loaded only on the routes that show a box, and only
// through the activation context: the common path loads nothing more.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32_system_library.h"

static const char kCommonControls[] = "comctl32.dll";

// Whether the process's activation context redirects comctl32.dll, so that a
// load by that name is resolved there and never by a search.
static bool ActivationContextNamesCommonControls()
{
    ACTCTX_SECTION_KEYED_DATA found;
    ZeroMemory(&found, sizeof found);
    found.cbSize = sizeof found;
    return FindActCtxSectionStringA(0, nullptr, ACTIVATION_CONTEXT_SECTION_DLL_REDIRECTION,
                                    kCommonControls, &found) != FALSE;
}

namespace platform {

void LoadCommonControls()
{
    if (!ActivationContextNamesCommonControls())
        return;
    using InitCommonControlsFunction = void(WINAPI*)();
    auto initialize =
        FindFunction<InitCommonControlsFunction>(LoadLibraryA(kCommonControls), "InitCommonControls");
    if (initialize != nullptr)
        initialize();
}

}  // namespace platform
