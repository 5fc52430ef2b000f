// Stand-in player: records its exact command line and current folder, exits.
#include "fixture_record.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    AppendRecord("player", GetCommandLineA());
    char folder[MAX_PATH];
    if (GetCurrentDirectoryA(sizeof folder, folder) != 0)
        AppendRecord("player-folder", folder);
    return 0;
}
