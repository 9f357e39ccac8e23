"""The streamed form of the encryption: a message of any size, read and written a chunk at a
time in memory that does not grow with it (docs/formats.md, "Streamed ciphertext").

    header  = magic | 0x02 | mode 0x12 or 0x11 | len mlkem_ct | mlkem_ct
              | [len rsa_ct | rsa_ct] | len commitment | commitment
    payload = sealed chunk 0 | sealed chunk 1 | … | sealed chunk n     (to the end)

The payload key and the commitment come from the version-2 key schedule under a form label
of its own. Chunk i seals bytes [i·C, (i+1)·C) of the message (C = STREAM_CHUNK_SIZE) with
AES-256-GCM under the nonce i (11 bytes, big-endian) ‖ 0x01 for the last chunk and ‖ 0x00 for
every other, the STREAM construction: a chunk opens only at its own position, and only the
last one says it is last, so a stream cut short, reordered, with a chunk repeated or with
anything after its end fails some chunk's tag. The first chunk's associated data is the
header followed by the context, so a changed header fails there. The last chunk holds 1 to C
bytes, or none when the whole message is empty.

Each chunk is released to the destination only once its tag has checked; a failure after
that leaves the chunks before it written, which the caller must discard (the command line
writes a regular file under a temporary name and puts it in place only at the end).
"""

import io

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from ._envelope import Envelope, pack_header, read_header, read_sealed
from ._errors import AUTHENTICATION_FAILED
from ._inputs import buffer_of, key_data
from ._kem import encapsulate
from ._keys import Key, LegacyKey
from ._params import NONCE_SIZE, STREAM_CHUNK_SIZE, TAG_SIZE
from ._schedule import FORM_STREAMED, derive
from ._sealing import context_bytes, decryption_key, open_one_shot, payload_key, post_quantum_key

SEALED_CHUNK_SIZE = STREAM_CHUNK_SIZE + TAG_SIZE
_COUNTER_SIZE = NONCE_SIZE - 1
_FINAL, _MORE = b"\x01", b"\x00"
# Larger than any header field: a one-shot payload (up to 2 GiB) is read in steps.
_COPIED_FIELD_SIZE = 4096


def encrypt_stream(source, destination, public_key_bytes, *, context=None) -> None:
    """Encrypts everything `source` holds to a key (public or private key bytes) and writes
    the streamed ciphertext to `destination`, a chunk at a time.

    `source` is a binary file object, read with readinto() (or read()) to its end;
    `destination` is one written with write(). `context` is bound as by
    pqc_encrypt_payload(). A classic RSA key is refused with ValueError.
    """
    key = post_quantum_key(key_data(public_key_bytes, "public_key_bytes"))
    context = context_bytes(context)
    readinto, write = _reader(source), _writer(destination)
    secrets, mlkem_ct, rsa_ct = encapsulate(key)
    schedule = derive(FORM_STREAMED, key, secrets, mlkem_ct, rsa_ct, context)
    header = pack_header(mlkem_ct, rsa_ct, None, schedule.commitment)
    aead = AESGCM(schedule.payload_key)
    write(memoryview(header))
    sealed = memoryview(bytearray(SEALED_CHUNK_SIZE))
    associated = header + context
    for counter, (chunk, final) in enumerate(_chunks(readinto, STREAM_CHUNK_SIZE)):
        end = aead.encrypt_into(_nonce(counter, final), chunk, associated, sealed[: len(chunk) + TAG_SIZE])
        write(sealed[:end])
        associated = None


def decrypt_stream(source, destination, private_key_bytes, *, context=None) -> None:
    """Decrypts the ciphertext that `source` holds and writes the message to `destination`.

    Each chunk is written once its tag has checked. On ValueError (the same texts as
    pqc_decrypt_payload()), the chunks already written were each authentic, but the message
    is not whole: discard them. A one-shot ciphertext is read too, whole, as its single tag
    requires. `source` and `destination` are as for encrypt_stream().
    """
    context = context_bytes(context)
    key = decryption_key(private_key_bytes)
    if isinstance(key, LegacyKey):
        raise ValueError("a classic RSA key decrypts only what classic RSA encryption made, which is never "
                         "streamed: use pqc_decrypt_payload()")
    readinto, write = _reader(source), _writer(destination)
    _decrypt(_Source(readinto), write, key, context)


def decrypt_held(packed: bytes, key: Key, context: bytes) -> bytes:
    """The message of a streamed ciphertext held in memory."""
    message = io.BytesIO()
    _decrypt(_Source(io.BytesIO(packed).readinto), _writer(message), key, context)
    return message.getvalue()


def _decrypt(source: "_Source", write, key: Key, context: bytes) -> None:
    header = read_header(source.take)
    if not header.streamed:
        envelope = Envelope(header, read_sealed(source.take))
        source.expect_end()
        write(memoryview(open_one_shot(key, envelope, context)))
        return
    opened = payload_key(key, header, context)
    if opened is None:
        raise ValueError(AUTHENTICATION_FAILED)
    aead = AESGCM(opened)
    message = memoryview(bytearray(STREAM_CHUNK_SIZE))
    associated = header.raw + context
    for counter, (sealed, final) in enumerate(_chunks(source.readinto, SEALED_CHUNK_SIZE)):
        size = len(sealed) - TAG_SIZE
        # Encryption writes no chunk shorter than a tag, and an empty one only for an empty message.
        authentic = size > 0 or (size == 0 and counter == 0)
        if authentic:
            try:
                aead.decrypt_into(_nonce(counter, final), sealed, associated, message[:size])
            except InvalidTag:
                authentic = False
        if not authentic:
            raise ValueError(AUTHENTICATION_FAILED)
        write(message[:size])
        associated = None


def chunk_count(message_size: int) -> int:
    """How many chunks a message of this size is sealed in."""
    return max(1, -(-message_size // STREAM_CHUNK_SIZE))


def message_size(payload_size: int) -> int | None:
    """The size of the message whose sealed chunks take `payload_size` bytes, or None when no
    message's do (a payload cut short or extended within its last tag)."""
    full, rest = divmod(payload_size, SEALED_CHUNK_SIZE)
    chunks = full + (rest > 0)
    # The last chunk holds at least one byte, unless it is the only one.
    if (0 < rest < TAG_SIZE) or (rest == TAG_SIZE and full) or chunks == 0:
        return None
    return payload_size - chunks * TAG_SIZE


def _nonce(counter: int, final: bool) -> bytes:
    return counter.to_bytes(_COUNTER_SIZE, "big") + (_FINAL if final else _MORE)


def _chunks(readinto, size: int):
    """(chunk, final) for each chunk of `size` bytes of the source in order, the last one
    shorter or followed by the end (an empty source is one empty chunk). Whether a chunk is
    the last is known by reading one byte past it, which then begins the next; a chunk
    yielded stays valid until the next one is asked for."""
    buffer = memoryview(bytearray(size + 1))
    filled = _fill(readinto, buffer)
    while filled > size:
        yield buffer[:size], False
        buffer[0] = buffer[size]
        with buffer[1:] as rest:
            filled = 1 + _fill(readinto, rest)
    yield buffer[:filled], True


def _fill(readinto, view: memoryview) -> int:
    """Reads into `view` until it is full or the source ends; returns how much it holds."""
    filled = 0
    while (left := len(view) - filled) > 0:
        with view[filled:] as rest:
            count = readinto(rest)
        if count is None:
            raise ValueError("source has no data ready (a non-blocking stream): read it in blocking mode")
        if type(count) is not int or not 0 <= count <= left:
            raise ValueError(f"source.readinto() returned {count!r} for a buffer of {left} bytes")
        if not count:
            break
        filled += count
    return filled


class _Source:
    """The reading end of a decryption: take() for the fields of the header, readinto() for
    the chunks."""

    def __init__(self, readinto) -> None:
        self.readinto = readinto

    def take(self, size: int):
        """The next `size` bytes, fewer only at the end. A header field is read at once; a
        one-shot payload in steps, so that what a length claims is never allocated before the
        bytes are there, and it stays in the bytearray it was read into."""
        if size <= _COPIED_FIELD_SIZE:
            buffer = bytearray(size)
            with memoryview(buffer) as view:
                filled = _fill(self.readinto, view)
            return bytes(buffer[:filled])
        taken, step = bytearray(), memoryview(bytearray(STREAM_CHUNK_SIZE))
        while (want := min(size - len(taken), len(step))) > 0:
            with step[:want] as part:
                got = _fill(self.readinto, part)
                taken += part[:got]
            if got < want:
                break
        return taken

    def expect_end(self) -> None:
        scratch = memoryview(bytearray(STREAM_CHUNK_SIZE))
        extra = 0
        while count := _fill(self.readinto, scratch):
            extra += count
        if extra:
            raise ValueError(f"ciphertext has {extra} unexpected bytes after the sealed payload")


def _reader(source):
    """source.readinto, or the same made of source.read."""
    if isinstance(source, io.TextIOBase):
        raise TypeError("source is a text stream: open it in binary mode ('rb')")
    readinto = getattr(source, "readinto", None)
    if callable(readinto):
        return readinto
    read = getattr(source, "read", None)
    if not callable(read):
        raise TypeError(f"source must be a binary file object, with readinto() or read(), not "
                        f"{type(source).__name__!r}")

    def read_into(view: memoryview) -> int | None:
        data = read(len(view))
        if data is None:
            return None
        got = buffer_of(data)
        if got is None:
            raise TypeError(f"source.read() must return bytes, not {type(data).__name__!r}: open it in binary mode")
        with got, got.cast("B") as octets:
            if len(octets) > len(view):
                raise ValueError(f"source.read() returned {len(octets)} bytes where at most {len(view)} were asked for")
            view[: len(octets)] = octets
            return len(octets)

    return read_into


def _writer(destination):
    """A function that writes all of a memoryview to `destination` and then releases the view,
    so that no reference the destination keeps can see the buffer's next contents."""
    if isinstance(destination, io.TextIOBase):
        raise TypeError("destination is a text stream: open it in binary mode ('wb')")
    write = getattr(destination, "write", None)
    if not callable(write):
        raise TypeError(f"destination must be a binary file object, with write(), not {type(destination).__name__!r}")
    # A raw stream may write part of what it is given; buffered ones, and most others, write
    # all of it and may return None for it, as shutil.copyfileobj assumes.
    partial = isinstance(destination, io.RawIOBase)

    def write_all(view: memoryview) -> None:
        with view:
            done = 0
            while (left := len(view) - done) > 0:
                with view[done:] as rest:
                    count = write(rest)
                if count is None and not partial:
                    break
                if count is None or count == 0:
                    raise ValueError("destination accepted no data (a non-blocking stream): write to it in blocking mode")
                if type(count) is not int or not 0 < count <= left:
                    raise ValueError(f"destination.write() returned {count!r} for {left} bytes")
                done += count

    return write_all
