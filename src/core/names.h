// The words of the post-quantum core's contract: the package and the functions the modules
// take from it, and the names both modules give what goes to the core and comes back.
#pragma once

#include "../frame/names.h"

namespace core::n {
using frame::Name;

// The package and its functions.
inline Name halcyra_pqc{"halcyra_pqc"};
inline Name generate_pqc_kem_keypair{"generate_pqc_kem_keypair"};
inline Name pqc_encrypt_payload{"pqc_encrypt_payload"};
inline Name pqc_decrypt_payload{"pqc_decrypt_payload"};
inline Name pack_ciphertext{"pack_ciphertext"};
inline Name protect_private_key{"protect_private_key"};
inline Name import_key_pair{"_import_key_pair"};

// The operations, the two halves of key material, and the locals that hold a key pair and
// what pqc_encrypt_payload returned.
inline Name encrypt{"encrypt"};
inline Name decrypt{"decrypt"};
inline Name pub_bytes{"pub_bytes"};
inline Name priv_bytes{"priv_bytes"};
inline Name pub{"pub"};
inline Name priv{"priv"};
inline Name res{"res"};

}  // namespace core::n
