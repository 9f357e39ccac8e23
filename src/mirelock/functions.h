// The Python-level functions of halcyra_pqc.mirelock, each defined in the file of its concern.
#pragma once

#include "../frame/definition.h"

namespace mirelock {

// key.cpp
extern frame::Def key_init, key_publickey, key_export_key;
extern frame::Def pycryptodome_generate, pycryptodome_import_key;

// cipher.cpp
extern frame::Def cipher_init, cipher_encrypt, cipher_decrypt;
extern frame::Def oaep_new;

}  // namespace mirelock
