#include "platform/SignIn.h"

#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>

namespace pavix {

// Only the item's presence matters: no account, and nothing is asked back.
bool hasClaudeCredentials() {
    const void* keys[] = {kSecClass, kSecAttrService, kSecMatchLimit};
    const void* values[] = {kSecClassGenericPassword, CFSTR("Claude Code-credentials"),
                            kSecMatchLimitOne};
    CFDictionaryRef query =
        CFDictionaryCreate(kCFAllocatorDefault, keys, values, 3, &kCFTypeDictionaryKeyCallBacks,
                           &kCFTypeDictionaryValueCallBacks);
    if (query == nullptr) return false;
    OSStatus status = SecItemCopyMatching(query, nullptr);
    CFRelease(query);
    return status == errSecSuccess;
}

} // namespace pavix
