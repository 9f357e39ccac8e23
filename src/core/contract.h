// The post-quantum core's contract as both modules apply it: the functions they import from
// the package, and how they read what those functions return.
#pragma once

#include <Python.h>

#include "../frame/text.h"
#include "../frame/record.h"
#include "../frame/ref.h"

namespace core {

// from halcyra_pqc import generate_pqc_kem_keypair, pqc_encrypt_payload, pqc_decrypt_payload,
//     pack_ciphertext
// A statement of a module body: binds the four as module globals.
bool import_functions() noexcept;

// `from halcyra_pqc import <name>` inside a function: a function of the core that is imported
// at each call, not kept as a module global.
frame::Ref import_function(const frame::Name& name) noexcept;

// pub, priv = generate_pqc_kem_keypair(): false with the exception set when the call fails or
// its result does not unpack into exactly two values.
bool generate_key_pair(frame::Ref (&pair)[2]) noexcept;

// The lines of the statements that pack what pqc_encrypt_payload returned:
//     if len(res) == 4:                                            (length)
//         return pack_ciphertext(res[0], res[1], res[2], res[3])   (hybrid)
//     return pack_ciphertext(res[0], None, res[1], res[2])         (pure)
struct PackLines {
    int length;
    int hybrid;
    int pure;
};

// Those statements: four items are the hybrid form, any other length the pure ML-KEM form.
// The global pack_ciphertext is looked up before the items are read. Returns the packed
// ciphertext, or nullptr with the failing line recorded on fn.
PyObject* pack(const frame::Site& fn, PyObject* res, PackLines lines) noexcept;

}  // namespace core
