// The words of the post-quantum core's contract: the package and the functions both modules
// take from it.
#pragma once

#include "../frame/text.h"

namespace core::n {
using frame::Name;

inline Name halcyra_pqc{"halcyra_pqc"};
inline Name generate_pqc_kem_keypair{"generate_pqc_kem_keypair"};
inline Name pqc_encrypt_payload{"pqc_encrypt_payload"};
inline Name pqc_decrypt_payload{"pqc_decrypt_payload"};
inline Name pack_ciphertext{"pack_ciphertext"};

}  // namespace core::n
