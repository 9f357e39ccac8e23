// The identifiers and texts of halcyra_pqc.ferrovan.
#pragma once

#include "../core/names.h"
#include "../frame/constants.h"
#include "../frame/frame_names.h"
#include "../frame/names.h"

namespace ferrovan::n {
using frame::Name;
using frame::Text;
// The names both modules share: Python's own and the core's.
using namespace frame::n;
using namespace core::n;

// Modules and the names imported from them.
inline Name json{"json"};
inline Name base64{"base64"};
inline Name cryptography_primitives{"cryptography.hazmat.primitives"};
inline Name cryptography_asymmetric{"cryptography.hazmat.primitives.asymmetric"};
inline Name cryptography_asymmetric_utils{"cryptography.hazmat.primitives.asymmetric.utils"};
inline Name serialization{"serialization"};
inline Name padding{"padding"};
inline Name hashes{"hashes"};
inline Name Prehashed{"Prehashed"};

// Classes and module-level functions.
inline Name DecryptionError{"DecryptionError"};
inline Name VerificationError{"VerificationError"};
inline Name PublicKey{"PublicKey"};
inline Name PrivateKey{"PrivateKey"};
inline Name newkeys{"newkeys"};
inline Name get_inner_private_key{"_get_inner_private_key"};
inline Name get_inner_public_key{"_get_inner_public_key"};
inline Name sign{"sign"};
inline Name verify{"verify"};
inline Name compute_hash{"compute_hash"};
inline Name sign_hash{"sign_hash"};
inline Name find_signature_hash{"find_signature_hash"};

// Methods and their qualified names.
inline Name load_pkcs1{"load_pkcs1"};
inline Name save_pkcs1{"save_pkcs1"};
inline Name PublicKey_init{"PublicKey.__init__"};
inline Name PublicKey_load_pkcs1{"PublicKey.load_pkcs1"};
inline Name PublicKey_save_pkcs1{"PublicKey.save_pkcs1"};
inline Name PrivateKey_init{"PrivateKey.__init__"};
inline Name PrivateKey_load_pkcs1{"PrivateKey.load_pkcs1"};
inline Name PrivateKey_save_pkcs1{"PrivateKey.save_pkcs1"};

// Parameters and locals.
inline Name key_bytes{"key_bytes"};
inline Name keyfile{"keyfile"};
inline Name format{"format"};
inline Name keysize{"keysize"};
inline Name priv_key{"priv_key"};
inline Name priv_dict{"priv_dict"};
inline Name rsa_priv_bytes{"rsa_priv_bytes"};
inline Name pub_key{"pub_key"};
inline Name pub_dict{"pub_dict"};
inline Name rsa_pub_bytes{"rsa_pub_bytes"};
inline Name message{"message"};
inline Name crypto{"crypto"};
inline Name exc{"exc"};
inline Name hash_method{"hash_method"};
inline Name inner_key{"inner_key"};
inline Name hash_str{"hash_str"};
inline Name hash_obj{"hash_obj"};
inline Name signature{"signature"};
inline Name hash_name{"hash_name"};
inline Name method_name{"method_name"};
inline Name digest{"digest"};
inline Name hash_value{"hash_value"};
inline Name decrypted_signature{"decrypted_signature"};
inline Name return_{"return"};

// Attributes and methods of what the functions call.
inline Name decode{"decode"};
inline Name loads{"loads"};
inline Name b64decode{"b64decode"};
inline Name load_der_private_key{"load_der_private_key"};
inline Name load_der_public_key{"load_der_public_key"};
inline Name password{"password"};
inline Name rsa{"rsa"};
inline Name upper{"upper"};
inline Name PKCS1v15{"PKCS1v15"};
inline Name Hash{"Hash"};
inline Name update{"update"};
inline Name finalize{"finalize"};
// The hash classes verify tries; MD5 is also the name it reports for its own.
inline Name SHA256{"SHA256"};
inline Name SHA512{"SHA512"};
inline Name SHA384{"SHA384"};
inline Name SHA224{"SHA224"};
inline Name SHA1{"SHA1"};
inline Name MD5{"MD5"};

// Texts: values, messages and docstrings.
inline Text PEM{"PEM"};
inline Text utf_8{"utf-8"};
inline Text dash{"-"};
inline Text empty{""};
inline Text bytes{"bytes"};
inline Text str{"str"};
inline Text SHA_256{"SHA-256"};
inline Text SHA_512{"SHA-512"};
inline Text SHA_384{"SHA-384"};
inline Text SHA_224{"SHA-224"};
inline Text SHA_1{"SHA-1"};
inline Text decryption_failed{"Decryption failed"};
inline Text verification_failed{"Verification failed"};
inline Text doc_decryption_error{"Raised when decryption fails."};
inline Text doc_verification_error{"Raised when verification fails."};
inline Text doc_encrypt{"Encrypts message using either Dual-Hybrid or pure ML-KEM. Returns a single packed bytes object."};
inline Text doc_decrypt{"Decrypts message from a single packed bytes object."};
inline Text doc_sign{"Signs message using inner RSA private key."};
inline Text doc_verify{"Verifies signature using inner RSA public key."};
inline Text doc_compute_hash{"Computes a hash representation of the message."};
inline Text doc_sign_hash{"Signs a pre-hashed value using inner RSA private key."};
inline Text doc_find_signature_hash{"Finds the signature hash from the decrypted signature block."};

// Keyword names of calls.
inline frame::NameTuple password_keyword{password};

// The hashes verify tries, in order, and the names it reports for them.
inline frame::NameTuple verify_candidates{SHA256, SHA512, SHA384, SHA224, SHA1, MD5};
inline const Text* const verify_results[] = {&SHA_256, &SHA_512, &SHA_384, &SHA_224, &SHA_1, &MD5};

}  // namespace ferrovan::n
