"""Encrypts data for a recipient with a random session key, then decrypts it as the recipient.

The session key travels encrypted to the recipient's key with PKCS1_OAEP; the data itself is
encrypted with AES under the session key. Files are written to the directory given as the
first argument, or to the current directory.

    python examples/session_key.py [directory]
"""

import os
import struct
import sys

# PyCryptodome's AES is not available here, so AES-GCM from `cryptography` stands in for
# AES in EAX mode: both are authenticated modes with a nonce and a 16-byte tag.
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from halcyra_pqc.mirelock import RSA, PKCS1_OAEP

directory = sys.argv[1] if len(sys.argv) > 1 else "."


def path(name: str) -> str:
    return os.path.join(directory, name)


# The recipient makes a key pair and publishes the public key.
key = RSA.generate(2048)
private_pem = key.export_key()
with open(path("private.pem"), "wb") as f:
    f.write(private_pem)

public_key = key.publickey().export_key()
with open(path("receiver.pem"), "wb") as f:
    f.write(public_key)

# The sender encrypts a session key to the recipient, and the data under the session key.
data = "I met aliens in UFO. Here is the map.".encode("utf-8")
file_out = open(path("encrypted_data.bin"), "wb")

recipient_key = RSA.import_key(open(path("receiver.pem")).read())
session_key = os.urandom(16)

# Encrypt the session key with the public key
cipher_rsa = PKCS1_OAEP.new(recipient_key)
enc_session_key = cipher_rsa.encrypt(session_key)

# Encrypt the data with the AES session key
nonce = os.urandom(12)
sealed = AESGCM(session_key).encrypt(nonce, data, None)
ciphertext, tag = sealed[:-16], sealed[-16:]
# The encrypted session key has no size fixed by the key, so its length goes first.
file_out.write(struct.pack(">I", len(enc_session_key)))
[file_out.write(x) for x in (enc_session_key, nonce, tag, ciphertext)]
file_out.close()

# The recipient reads the file back and decrypts it with the private key.
file_in = open(path("encrypted_data.bin"), "rb")

private_key = RSA.import_key(open(path("private.pem")).read())

(enc_session_key_size,) = struct.unpack(">I", file_in.read(4))
enc_session_key, nonce, tag, ciphertext = [file_in.read(x) for x in (enc_session_key_size, 12, 16, -1)]
file_in.close()

# Decrypt the session key with the private key
cipher_rsa = PKCS1_OAEP.new(private_key)
session_key = cipher_rsa.decrypt(enc_session_key)

# Decrypt the data with the AES session key
data = AESGCM(session_key).decrypt(nonce, ciphertext + tag, None)
print(data.decode("utf-8"))
