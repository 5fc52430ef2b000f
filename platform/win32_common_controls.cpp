// The Common Controls are loaded only on the routes that show a box, and only
// through the activation context: the common path loads nothing more.
#include <windows.h>

#include <commctrl.h>

#include "platform/platform.h"
#include "platform/win32_system_library.h"

static const char kCommonControls[] = "comctl32.dll";

// Windows XP's structure ends at ulAssemblyRosterIndex; later Windows take
// that size, as every program built for XP passes it.
static_assert(sizeof(ACTCTX_SECTION_KEYED_DATA_2600) == (sizeof(void*) == 4 ? 40 : 72),
              "the structure as Windows XP knows it");

// Whether the process's activation context redirects comctl32.dll, so that a
// load by that name is resolved there and never by a search.
static bool ActivationContextNamesCommonControls()
{
    ACTCTX_SECTION_KEYED_DATA_2600 found;
    ZeroMemory(&found, sizeof found);
    found.cbSize = sizeof found;
    return FindActCtxSectionStringA(0, nullptr, ACTIVATION_CONTEXT_SECTION_DLL_REDIRECTION,
                                    kCommonControls,
                                    reinterpret_cast<PACTCTX_SECTION_KEYED_DATA>(&found)) != FALSE;
}

namespace platform {

// Under Common Controls 6 InitCommonControls does nothing: the classes a box
// uses (button, static, edit) are registered by InitCommonControlsEx with
// ICC_STANDARD_CLASSES. A failure changes nothing else: the box is shown as
// it may be.
void LoadCommonControls()
{
    if (!ActivationContextNamesCommonControls())
        return;
    using InitializeFunction = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    auto initialize =
        FindFunction<InitializeFunction>(LoadLibraryA(kCommonControls), "InitCommonControlsEx");
    INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_STANDARD_CLASSES};
    if (initialize != nullptr)
        initialize(&classes);
}

}  // namespace platform
