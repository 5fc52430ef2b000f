#include "probes/player_registration.h"

#include "launch/join_text.h"
#include "launch/launch_context.h"
#include "platform/platform.h"

static const char kPlayerKey[] = "Software\\Ervast\\Orvane";

static platform::RegistryKey OpenPlayerKey()
{
    platform::RegistryKey key = nullptr;
    if (platform::RegOpenKeyExA(platform::RegistryRoot::CurrentUser, kPlayerKey, &key) ==
        platform::kErrorSuccess)
        return key;
    key = nullptr;
    if (platform::RegOpenKeyExA(platform::RegistryRoot::LocalMachine, kPlayerKey, &key) ==
        platform::kErrorSuccess)
        return key;
    return nullptr;
}

// Room for the value and two terminators; a size for which that room would
// wrap cannot be allocated.
static char* AllocateValueBuffer(uint32_t size)
{
    if (size > UINT32_MAX - 2)
        return nullptr;
    return static_cast<char*>(platform::AllocateMemory(size_t{size} + 2));
}

// Reads "AppDir" into the context. The text always ends: at the first zero
// byte of the data, or right behind the bytes returned.
static LaunchResult ReadAppDir(platform::RegistryKey key)
{
    uint32_t type = 0;
    uint32_t size = 0;
    if (platform::RegQueryValueExA(key, "AppDir", &type, nullptr, &size) !=
            platform::kErrorSuccess ||
        type != platform::kRegSz)
        return RegistrationMissing;

    char* text = AllocateValueBuffer(size);
    if (text == nullptr) {
        ReplaceText(&Context.AppDir, nullptr);
        return OutOfMemory;
    }

    uint32_t offered = size + 1;
    uint32_t returned = offered;
    bool read = platform::RegQueryValueExA(key, "AppDir", nullptr,
                                           reinterpret_cast<unsigned char*>(text),
                                           &returned) == platform::kErrorSuccess;
    if (read) {
        if (returned > offered)
            returned = offered;
        text[returned] = '\0';
    }
    // A quote would let the folder end the player's quoted path and add
    // arguments of its own: such a folder is as unusable as an unreadable one.
    if (!read || HoldsQuote(text)) {
        platform::ReleaseMemory(text);
        ReplaceText(&Context.AppDir, nullptr);
        return RegistrationMissing;
    }
    ReplaceText(&Context.AppDir, text);
    return Ok;
}

// True with the value when it is a REG_DWORD of exactly four bytes.
static bool ReadDword(platform::RegistryKey key, const char* name, uint32_t* value)
{
    uint32_t type = 0;
    uint32_t data = 0;
    uint32_t size = sizeof data;
    if (platform::RegQueryValueExA(key, name, &type, reinterpret_cast<unsigned char*>(&data),
                                   &size) != platform::kErrorSuccess)
        return false;
    if (type != platform::kRegDword || size != sizeof data)
        return false;
    *value = data;
    return true;
}

LaunchResult ReadPlayerRegistration()
{
    Context.AutorunPlayListCDs = true;
    Context.PlayerVersion = 0;
    Context.PlayerRegistered = false;

    platform::RegistryKey key = OpenPlayerKey();
    if (key == nullptr)
        return Skipped;

    LaunchResult result = ReadAppDir(key);
    uint32_t value = 0;
    if (ReadDword(key, "AutorunPlayListCDs", &value))
        Context.AutorunPlayListCDs = value != 0;
    if (ReadDword(key, "PlayerVersion", &value))
        Context.PlayerVersion = value;
    platform::RegCloseKey(key);

    Context.PlayerRegistered = result == Ok;
    return result;
}
