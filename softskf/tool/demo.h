// The demo token: what a new user signs with, and the token the SKF tests of
// the service start from.
#pragma once

#include "store.h"

#include <ostream>

namespace softskf_tool {

namespace demo {
inline constexpr char kDevice[] = "softskf0";
inline constexpr char kLabel[] = "Vaultline Demo Token";
inline constexpr char kApplication[] = "VAULTLINE";
// The only user PIN the service ever presents to an SKF token.
inline constexpr char kUserPin[] = "brovik_telmaz";
inline constexpr char kAdminPin[] = "12345678";
inline constexpr unsigned kRetries = 10;
inline constexpr char kSm2Container[] = "SM2Demo";
inline constexpr char kRsaContainer[] = "RSADemo";
}  // namespace demo

// Makes whatever part of the demo token is missing: the demo CAs, device,
// application (its dialog PIN is its user PIN, so that the service can enrol
// without presenting the PIN), the SM2 container (signing and encryption key pairs with
// certificates) and the RSA 2048 container (signing key pair and
// certificate). What is present is kept, so running it again changes nothing;
// with force the demo application is deleted and made anew (new keys and
// certificates under the same CAs). A present application that cannot serve
// as the demo (another PIN, a locked PIN, keys of the wrong kind) is an error
// that names --force.
void BuildDemo(softskf::Store& store, bool force, std::ostream& out);

// 16 upper-case hexadecimal digits from 8 random bytes.
std::string RandomDeviceSerial();

}  // namespace softskf_tool
