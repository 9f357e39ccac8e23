"""A caller's objects cannot steer the core: keys, messages, ciphertexts, pass phrases and
option texts are copied to exact built-in values once, at the edge, and nothing of the
caller's object is consulted after that."""

import pytest

import halcyra_pqc as hp
import halcyra_pqc.ferrovan as ferrovan
from halcyra_pqc.mirelock import PKCS1_OAEP, RSA


@pytest.fixture(scope="module")
def attacker_keys():
    return hp.generate_pqc_kem_keypair()


def decrypts_with(packed, private):
    try:
        return hp.pqc_decrypt_payload(packed, private)
    except ValueError:
        return None


def planting_key(victim_public, attacker_public):
    """Text whose own encode() returns the attacker's key bytes dressed up to hash and compare
    like the victim's: the shape of an attack on a cache keyed by what the caller's object
    gives back."""

    class Colliding(bytes):
        def __hash__(self):
            return hash(victim_public)

        def __eq__(self, other):
            return True

    class Planting(str):
        def encode(self, *args, **kwargs):
            return Colliding(attacker_public)

    return Planting(victim_public.decode())


def test_planted_cache_entries_cannot_redirect_encryption(hybrid_keys, attacker_keys):
    victim_public, victim_private = hybrid_keys
    attacker_public, attacker_private = attacker_keys
    message = b"for the victim only"

    class CollidingBytes(bytes):
        def __hash__(self):
            return hash(victim_public)

        def __eq__(self, other):
            return True

    plants = [
        lambda: hp.pqc_encrypt_payload(b"x", planting_key(victim_public, attacker_public)),
        lambda: hp.pqc_encrypt_payload(b"x", CollidingBytes(attacker_public)),
        lambda: ferrovan.encrypt(b"x", ferrovan.PublicKey(planting_key(victim_public, attacker_public))),
        lambda: PKCS1_OAEP.new(RSA.import_key(planting_key(victim_public, attacker_public))).encrypt(b"x"),
        lambda: hp.public_key_bytes(CollidingBytes(attacker_public)),
    ]
    for plant in plants:
        plant()
        for encrypt in (lambda: hp.pack_ciphertext(*hp.pqc_encrypt_payload(message, victim_public)),
                        lambda: ferrovan.encrypt(message, ferrovan.PublicKey(victim_public)),
                        lambda: PKCS1_OAEP.new(RSA.import_key(victim_public)).encrypt(message)):
            packed = encrypt()
            assert decrypts_with(packed, victim_private) == message
            assert decrypts_with(packed, attacker_private) is None


def test_text_subclasses_are_read_for_what_they_hold(hybrid_keys):
    public, private = hybrid_keys

    class Lying(str):
        def encode(self, *args, **kwargs):
            return b"{not this}"

        def __len__(self):
            return 1

    # The text itself counts, not what its methods claim.
    packed = hp.pack_ciphertext(*hp.pqc_encrypt_payload(b"m", Lying(public.decode())))
    assert hp.pqc_decrypt_payload(packed, Lying(private.decode())) == b"m"
    with pytest.raises(ValueError, match="longer than 65536 bytes"):
        hp.pqc_encrypt_payload(b"m", Lying("{" + " " * 70000 + "}"))
    # A pass phrase is the text it holds too: protected with a lying subclass, it opens with
    # the plain text.
    protected = hp.protect_private_key(private, Lying("the real phrase"))
    assert hp.unprotect_private_key(protected, "the real phrase") == private
    # So is an option: a subclass that equals everything is not every scheme.

    class Equal(str):
        def __eq__(self, other):
            return True

        __hash__ = str.__hash__

    with pytest.raises(ValueError, match="scheme must be one of"):
        hp.reencrypt_legacy_ciphertext(bytes(128), private, public, scheme=Equal("anything"))


def test_buffers_are_read_once(hybrid_keys):
    public, private = hybrid_keys
    packed = ferrovan.encrypt(b"payload", public)
    reads = []

    class Shifting:
        """Gives a different buffer each time it is asked: the real data first, junk after."""

        def __init__(self, first):
            self.first = first

        def __buffer__(self, flags):
            reads.append(1)
            return memoryview(self.first if len(reads) == 1 else b"\0" * len(self.first))

    for call in (lambda: hp.pqc_decrypt_payload(Shifting(packed), private),
                 lambda: hp.pqc_decrypt_payload(packed, Shifting(private))):
        reads.clear()
        assert call() == b"payload" and len(reads) == 1
    reads.clear()
    sealed = hp.pqc_encrypt_payload(Shifting(b"message"), public)
    assert len(reads) == 1 and hp.pqc_decrypt_payload(hp.pack_ciphertext(*sealed), private) == b"message"

    class Pretending:
        """Claims to be text through __class__; it is neither text nor a buffer."""

        __class__ = str

    with pytest.raises(TypeError, match="must be bytes, a bytes-like object or str, not 'Pretending'"):
        hp.pqc_encrypt_payload(b"m", Pretending())
