// Built only on Apple platforms, with ARC.
#include "platform/network_settings.h"

#import <CFNetwork/CFNetwork.h>
#import <Foundation/Foundation.h>
#import <Security/Security.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "platform/log.h"
#include "platform/network_libraries.h"

// Bridged casts between CoreFoundation and Foundation objects have no C++-style spelling.
#pragma clang diagnostic ignored "-Wold-style-cast"

namespace corvane::platform {
namespace {

// An automatic configuration that has not answered by then is treated as unreachable.
constexpr CFTimeInterval kScriptSeconds = 5.0;

std::string toStd(NSString* s) {
    return s ? std::string(s.UTF8String) : std::string();
}

NSString* str(CFStringRef s) {
    return (__bridge NSString*)s;
}

struct ScriptAnswer {
    NSArray* proxies = nil;
    NSString* error = nil;
    bool done = false;
};

void scriptAnswered(void* client, CFArrayRef proxyList, CFErrorRef error) {
    auto* answer = static_cast<ScriptAnswer*>(client);
    answer->done = true;
    if (error != nullptr) {
        answer->error = [(__bridge NSError*)error localizedDescription];
    } else {
        answer->proxies = (__bridge NSArray*)proxyList;
    }
    CFRunLoopStop(CFRunLoopGetCurrent());
}

// Runs an automatic proxy configuration (a script's address or its text) for `target` on this
// thread's run loop, in a mode of our own so nothing else scheduled on the thread runs meanwhile.
NSArray* runConfigurationScript(NSDictionary* entry, NSURL* target) {
    ScriptAnswer answer;
    CFStreamClientContext context = {0, &answer, nullptr, nullptr, nullptr};
    CFRunLoopSourceRef source = nullptr;
    NSString* type = entry[str(kCFProxyTypeKey)];
    if ([type isEqualToString:str(kCFProxyTypeAutoConfigurationURL)]) {
        NSURL* script = entry[str(kCFProxyAutoConfigurationURLKey)];
        if (script != nil) {
            source = CFNetworkExecuteProxyAutoConfigurationURL(
                (__bridge CFURLRef)script, (__bridge CFURLRef)target, &scriptAnswered, &context);
        }
    } else {
        NSString* script = entry[str(kCFProxyAutoConfigurationJavaScriptKey)];
        if (script != nil) {
            source = CFNetworkExecuteProxyAutoConfigurationScript(
                (__bridge CFStringRef)script, (__bridge CFURLRef)target, &scriptAnswered, &context);
        }
    }
    if (source == nullptr) {
        logLine("Proxy configuration script could not be run: connecting directly");
        return @[];
    }
    CFStringRef mode = CFSTR("com.corvane.setup.proxy-script");
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopAddSource(loop, source, mode);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(kScriptSeconds);
    while (!answer.done) {
        const double left =
            std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            break;
        }
        CFRunLoopRunInMode(mode, left, false);
    }
    // Invalidated before release: a late answer must not reach `answer`, gone after the return.
    CFRunLoopRemoveSource(loop, source, mode);
    CFRunLoopSourceInvalidate(source);
    CFRelease(source);
    if (!answer.done || answer.error != nil) {
        logLine("Proxy configuration script failed (" +
                (answer.done ? toStd(answer.error) : std::string("no answer")) +
                "): connecting directly");
        return @[];
    }
    return answer.proxies != nil ? answer.proxies : @[];
}

// The system's proxy entry in the platform-neutral form (configuration scripts are not entries
// here: chooseProxy runs them).
SystemProxy systemProxy(NSDictionary* entry) {
    using Kind = SystemProxy::Kind;
    NSString* type = entry[str(kCFProxyTypeKey)];
    SystemProxy proxy;
    proxy.kind = [type isEqualToString:str(kCFProxyTypeNone)]    ? Kind::direct
                 : [type isEqualToString:str(kCFProxyTypeHTTP)]  ? Kind::http
                 : [type isEqualToString:str(kCFProxyTypeHTTPS)] ? Kind::https
                 : [type isEqualToString:str(kCFProxyTypeSOCKS)] ? Kind::socks
                                                                 : Kind::other;
    proxy.host = toStd(entry[str(kCFProxyHostNameKey)]);
    if (NSNumber* port = entry[str(kCFProxyPortNumberKey)]) {
        proxy.port = port.longValue;
    }
    proxy.user = toStd(entry[str(kCFProxyUsernameKey)]);
    proxy.password = toStd(entry[str(kCFProxyPasswordKey)]);
    return proxy;
}

// The first usable proxy of a system list; a direct connection when none is. Configuration
// scripts are run; their answers hold no further scripts.
CurlProxy chooseProxy(NSArray* entries, NSURL* target, bool scriptsAllowed) {
    for (NSDictionary* entry in entries) {
        if (![entry isKindOfClass:[NSDictionary class]]) {
            continue;
        }
        NSString* type = entry[str(kCFProxyTypeKey)];
        if ([type isEqualToString:str(kCFProxyTypeAutoConfigurationURL)] ||
            [type isEqualToString:str(kCFProxyTypeAutoConfigurationJavaScript)]) {
            if (scriptsAllowed) {
                return chooseProxy(runConfigurationScript(entry, target), target, false);
            }
            continue;
        }
        if (std::optional<CurlProxy> proxy = curlProxy(systemProxy(entry))) {
            return *proxy;
        }
    }
    return {};
}

// How one Keychain domain's trust settings judge a certificate for TLS servers: trusted as a
// root, denied, or no opinion. Entries bound to an application or a host name are skipped; the
// first entry that decides counts, as in the system's own evaluation.
enum class Verdict { none, trusted, denied };

Verdict judge(SecCertificateRef certificate, SecTrustSettingsDomain domain) {
    CFArrayRef raw = nullptr;
    if (SecTrustSettingsCopyTrustSettings(certificate, domain, &raw) != errSecSuccess ||
        raw == nullptr) {
        return Verdict::none;
    }
    NSArray* settings = (__bridge_transfer NSArray*)raw;
    if (settings.count == 0) {
        return Verdict::trusted;  // an empty list: a root for every purpose
    }
    for (NSDictionary* entry in settings) {
        if (![entry isKindOfClass:[NSDictionary class]] ||
            entry[str(kSecTrustSettingsApplication)] != nil ||
            entry[str(kSecTrustSettingsPolicyString)] != nil) {
            continue;
        }
        if (id policy = entry[str(kSecTrustSettingsPolicy)]) {
            NSDictionary* properties = (__bridge_transfer NSDictionary*)SecPolicyCopyProperties(
                (__bridge SecPolicyRef)policy);
            if (![properties[str(kSecPolicyOid)] isEqual:str(kSecPolicyAppleSSL)]) {
                continue;
            }
        }
        NSNumber* result = entry[str(kSecTrustSettingsResult)];
        // Without a result an entry means "trusted as a root".
        const long value =
            result != nil ? result.longValue : long{kSecTrustSettingsResultTrustRoot};
        if (value == long{kSecTrustSettingsResultTrustRoot} ||
            value == long{kSecTrustSettingsResultTrustAsRoot}) {
            return Verdict::trusted;
        }
        if (value == long{kSecTrustSettingsResultDeny}) {
            return Verdict::denied;
        }
    }
    return Verdict::none;
}

// The PEM text of every root the system trusts for TLS: its anchors, then what the
// administrator's and the user's trust settings add or deny (the user's have the last word).
std::string trustedRootsPem() {
    @autoreleasepool {
        std::map<std::string, bool> roots;  // DER -> trusted
        CFArrayRef anchors = nullptr;
        if (SecTrustCopyAnchorCertificates(&anchors) == errSecSuccess && anchors != nullptr) {
            for (id certificate in (__bridge_transfer NSArray*)anchors) {
                NSData* der = (__bridge_transfer NSData*)SecCertificateCopyData(
                    (__bridge SecCertificateRef)certificate);
                roots[std::string(static_cast<const char*>(der.bytes), der.length)] = true;
            }
        }
        for (const SecTrustSettingsDomain domain :
             {kSecTrustSettingsDomainAdmin, kSecTrustSettingsDomainUser}) {
            CFArrayRef listed = nullptr;
            if (SecTrustSettingsCopyCertificates(domain, &listed) != errSecSuccess ||
                listed == nullptr) {
                continue;  // errSecNoTrustSettings: nothing set in this domain
            }
            for (id certificate in (__bridge_transfer NSArray*)listed) {
                auto ref = (__bridge SecCertificateRef)certificate;
                const Verdict verdict = judge(ref, domain);
                if (verdict == Verdict::none) {
                    continue;
                }
                NSData* der = (__bridge_transfer NSData*)SecCertificateCopyData(ref);
                roots[std::string(static_cast<const char*>(der.bytes), der.length)] =
                    verdict == Verdict::trusted;
            }
        }
        std::string pem;
        for (const auto& [der, trusted] : roots) {
            if (!trusted) {
                continue;
            }
            NSData* data = [NSData dataWithBytes:der.data() length:der.size()];
            NSString* base64 =
                [data base64EncodedStringWithOptions:NSDataBase64Encoding64CharacterLineLength |
                                                     NSDataBase64EncodingEndLineWithLineFeed];
            pem +=
                "-----BEGIN CERTIFICATE-----\n" + toStd(base64) + "\n-----END CERTIFICATE-----\n";
        }
        return pem;
    }
}

// Read once: the Keychain query takes a moment, and the roots do not change during a setup.
const std::string& trustedRoots() {
    static const std::string pem = [] {
        std::string roots = trustedRootsPem();
        if (roots.empty()) {
            logLine("No trusted certificates found in the system's trust store");
        }
        return roots;
    }();
    return pem;
}

}  // namespace

void applySystemNetworkSettings(CURL* easy, const std::string& url) {
    // libcurl is opened at run time; a handle exists only once it is, so this finds it open.
    const CurlLibrary* curl = curlLibrary();
    if (curl == nullptr || easy == nullptr) {
        return;
    }
    @autoreleasepool {
        if (const std::string& roots = trustedRoots(); !roots.empty()) {
            curl_blob blob{const_cast<char*>(roots.data()), roots.size(), CURL_BLOB_COPY};
            curl->easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
            // Only the system's roots: no file of libcurl's build machine.
            curl->easy_setopt(easy, CURLOPT_CAINFO, nullptr);
            curl->easy_setopt(easy, CURLOPT_CAPATH, nullptr);
        }

        NSURL* target = [NSURL URLWithString:[NSString stringWithUTF8String:url.c_str()]];
        NSDictionary* settings =
            (__bridge_transfer NSDictionary*)CFNetworkCopySystemProxySettings();
        if (target == nil || settings == nil) {
            logLine("System proxy settings unavailable: libcurl's defaults apply");
            return;
        }
        NSArray* entries = (__bridge_transfer NSArray*)CFNetworkCopyProxiesForURL(
            (__bridge CFURLRef)target, (__bridge CFDictionaryRef)settings);
        const CurlProxy proxy = chooseProxy(entries, target, true);
        // "" is an explicit direct connection: environment variables do not count either.
        curl->easy_setopt(easy, CURLOPT_PROXY, proxy.address.c_str());
        curl->easy_setopt(easy, CURLOPT_NOPROXY, "");
        if (!proxy.user.empty()) {
            curl->easy_setopt(easy, CURLOPT_PROXYUSERNAME, proxy.user.c_str());
            curl->easy_setopt(easy, CURLOPT_PROXYPASSWORD, proxy.password.c_str());
            curl->easy_setopt(easy, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
        }
    }
}

}  // namespace corvane::platform
