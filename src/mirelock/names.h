// The identifiers and texts of halcyra_pqc.mirelock.
#pragma once

#include "../core/names.h"
#include "../frame/frame_names.h"
#include "../frame/names.h"

namespace mirelock::n {
using frame::Name;
using frame::Text;
// The names both modules share: Python's own and the core's.
using namespace frame::n;
using namespace core::n;

// Modules and the names imported from them.
inline Name sys{"sys"};
inline Name types{"types"};
inline Name ModuleType{"ModuleType"};
inline Name modules{"modules"};

// Classes, module-level functions and the other module attributes.
inline Name PyCryptodomeKey{"PyCryptodomeKey"};
inline Name PyCryptodomeCipher{"PyCryptodomeCipher"};
inline Name PKCS1_OAEP_Mock{"PKCS1_OAEP_Mock"};
inline Name pycryptodome_generate{"pycryptodome_generate"};
inline Name pycryptodome_import_key{"pycryptodome_import_key"};
inline Name RSA{"RSA"};
inline Name PKCS1_OAEP{"PKCS1_OAEP"};

// Methods, their qualified names, and the attributes set on the RSA module object.
inline Name publickey{"publickey"};
inline Name export_key{"export_key"};
inline Name new_{"new"};
inline Name generate{"generate"};
inline Name import_key{"import_key"};
inline Name PyCryptodomeKey_init{"PyCryptodomeKey.__init__"};
inline Name PyCryptodomeKey_publickey{"PyCryptodomeKey.publickey"};
inline Name PyCryptodomeKey_export_key{"PyCryptodomeKey.export_key"};
inline Name PyCryptodomeCipher_init{"PyCryptodomeCipher.__init__"};
inline Name PyCryptodomeCipher_encrypt{"PyCryptodomeCipher.encrypt"};
inline Name PyCryptodomeCipher_decrypt{"PyCryptodomeCipher.decrypt"};
inline Name PKCS1_OAEP_Mock_new{"PKCS1_OAEP_Mock.new"};

// Parameters, locals, and the attributes of keys and ciphers.
inline Name bits{"bits"};
inline Name randfunc{"randfunc"};
inline Name extern_key{"extern_key"};
inline Name passphrase{"passphrase"};
inline Name key{"key"};
inline Name plaintext{"plaintext"};
inline Name ciphertext{"ciphertext"};

// Texts.
inline Text RSA_module_name{"halcyra_pqc.mirelock.RSA"};
inline Text private_key_required{"Private key required for decryption"};

}  // namespace mirelock::n
