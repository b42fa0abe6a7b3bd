// Stand-in for Apple's Security header, used only by tools/check-macos to compile and
// link the Mac build on Linux. It declares what src/ uses, and nothing more, exactly as
// Apple documents it (developer.apple.com/documentation/security, Objective-C
// declarations: SecBase.h, SecItem.h). Apple's nullability and ownership annotations are
// left out: they change no type and no calling convention.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <MacTypes.h> // OSStatus, as on a Mac

#ifdef __cplusplus
extern "C" {
#endif

// Apple declares the result codes as CF_ENUM(OSStatus): an enumeration over OSStatus.
#ifdef __cplusplus
enum : OSStatus { errSecSuccess = 0 };
#else
enum { errSecSuccess = 0 };
#endif

extern const CFStringRef kSecClass;
extern const CFStringRef kSecClassGenericPassword;
extern const CFStringRef kSecAttrService;
extern const CFStringRef kSecMatchLimit;
extern const CFStringRef kSecMatchLimitOne;

OSStatus SecItemCopyMatching(CFDictionaryRef query, CFTypeRef* result);

#ifdef __cplusplus
}
#endif
