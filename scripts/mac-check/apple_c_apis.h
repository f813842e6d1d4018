// The few CoreFoundation, CFNetwork and Security declarations the macOS sources use, as Apple's
// headers declare them. GNUstep has none of these frameworks; this file (and the stand-ins in
// include/ that read it) exists only so scripts/check-mac-sources.sh can check those sources.
// Add a line here only when a macOS source starts using another name.
#pragma once
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// CoreFoundation: the types and run-loop calls of network_settings_mac.mm.
typedef const void* CFTypeRef;
typedef const struct __CFString* CFStringRef;
typedef const struct __CFArray* CFArrayRef;
typedef const struct __CFDictionary* CFDictionaryRef;
typedef const struct __CFURL* CFURLRef;
typedef const struct __CFData* CFDataRef;
typedef struct __CFError* CFErrorRef;
typedef struct __CFRunLoop* CFRunLoopRef;
typedef struct __CFRunLoopSource* CFRunLoopSourceRef;
typedef double CFTimeInterval;
typedef long CFIndex;
typedef unsigned char Boolean;
typedef int32_t OSStatus;
typedef struct {
    CFIndex version;
    void* info;
    void* (*retain)(void* info);
    void (*release)(void* info);
    CFStringRef (*copyDescription)(void* info);
} CFStreamClientContext;
CFStringRef __CFStringMakeConstantString(const char* cStr);
#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")
void CFRelease(CFTypeRef cf);
CFRunLoopRef CFRunLoopGetCurrent(void);
void CFRunLoopStop(CFRunLoopRef rl);
void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef mode);
void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef mode);
void CFRunLoopSourceInvalidate(CFRunLoopSourceRef source);
int32_t CFRunLoopRunInMode(CFStringRef mode, CFTimeInterval seconds,
                           Boolean returnAfterSourceHandled);

// CFNetwork (CFProxySupport.h): the system's proxies for an address.
extern const CFStringRef kCFProxyTypeKey;
extern const CFStringRef kCFProxyHostNameKey;
extern const CFStringRef kCFProxyPortNumberKey;
extern const CFStringRef kCFProxyAutoConfigurationURLKey;
extern const CFStringRef kCFProxyAutoConfigurationJavaScriptKey;
extern const CFStringRef kCFProxyUsernameKey;
extern const CFStringRef kCFProxyPasswordKey;
extern const CFStringRef kCFProxyTypeNone;
extern const CFStringRef kCFProxyTypeHTTP;
extern const CFStringRef kCFProxyTypeHTTPS;
extern const CFStringRef kCFProxyTypeSOCKS;
extern const CFStringRef kCFProxyTypeAutoConfigurationURL;
extern const CFStringRef kCFProxyTypeAutoConfigurationJavaScript;
typedef void (*CFProxyAutoConfigurationResultCallback)(void* client, CFArrayRef proxyList,
                                                       CFErrorRef error);
CFDictionaryRef CFNetworkCopySystemProxySettings(void);
CFArrayRef CFNetworkCopyProxiesForURL(CFURLRef url, CFDictionaryRef proxySettings);
CFRunLoopSourceRef CFNetworkExecuteProxyAutoConfigurationURL(
    CFURLRef proxyAutoConfigURL, CFURLRef targetURL, CFProxyAutoConfigurationResultCallback cb,
    CFStreamClientContext* clientContext);
CFRunLoopSourceRef CFNetworkExecuteProxyAutoConfigurationScript(
    CFStringRef proxyAutoConfigurationScript, CFURLRef targetURL,
    CFProxyAutoConfigurationResultCallback cb, CFStreamClientContext* clientContext);

// Security (SecTrust.h, SecTrustSettings.h, SecCertificate.h, SecPolicy.h): the trusted roots.
typedef struct __SecCertificate* SecCertificateRef;
typedef struct __SecPolicy* SecPolicyRef;
enum { errSecSuccess = 0 };
typedef enum SecTrustSettingsDomain : uint32_t {
    kSecTrustSettingsDomainUser = 0,
    kSecTrustSettingsDomainAdmin,
    kSecTrustSettingsDomainSystem,
} SecTrustSettingsDomain;
typedef enum SecTrustSettingsResult : uint32_t {
    kSecTrustSettingsResultInvalid = 0,
    kSecTrustSettingsResultTrustRoot,
    kSecTrustSettingsResultTrustAsRoot,
    kSecTrustSettingsResultDeny,
    kSecTrustSettingsResultUnspecified,
} SecTrustSettingsResult;
#define kSecTrustSettingsPolicy CFSTR("kSecTrustSettingsPolicy")
#define kSecTrustSettingsApplication CFSTR("kSecTrustSettingsApplication")
#define kSecTrustSettingsPolicyString CFSTR("kSecTrustSettingsPolicyString")
#define kSecTrustSettingsResult CFSTR("kSecTrustSettingsResult")
extern const CFStringRef kSecPolicyOid;
extern const CFStringRef kSecPolicyAppleSSL;
OSStatus SecTrustCopyAnchorCertificates(CFArrayRef* anchors);
OSStatus SecTrustSettingsCopyCertificates(SecTrustSettingsDomain domain, CFArrayRef* certArray);
OSStatus SecTrustSettingsCopyTrustSettings(SecCertificateRef certRef,
                                           SecTrustSettingsDomain domain,
                                           CFArrayRef* trustSettings);
CFDataRef SecCertificateCopyData(SecCertificateRef certificate);
CFDictionaryRef SecPolicyCopyProperties(SecPolicyRef policyRef);

#ifdef __cplusplus
}
#endif
