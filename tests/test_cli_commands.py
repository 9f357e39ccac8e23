"""The halcyra-pqc command's file commands, run as users run them: key generation, encryption,
decryption, signatures and inspection, their success and their misuse."""

import ast
import json
import os
import stat

import pytest
import rsa as old_rsa
from Crypto.Cipher import PKCS1_OAEP as OldOAEP
from Crypto.PublicKey import RSA as OldRSA

import halcyra_pqc as hp
from cli_support import COMMAND, SCRIPT, LegacyKey, cli, error_line
from conftest import PACKAGE_DIR
from halcyra_pqc import ferrovan

pytestmark = pytest.mark.engine

PASSPHRASE = b"correct horse battery staple"


@pytest.fixture(scope="module")
def keys(tmp_path_factory, hybrid_keys, mlkem_keys):
    """Key files of every kind the commands meet, and a pass phrase file."""
    root = tmp_path_factory.mktemp("keys")
    old_public, old_private = old_rsa.newkeys(1024)
    files = {
        "hybrid.pub": hybrid_keys[0],
        "hybrid.key": hybrid_keys[1],
        "mlkem.pub": mlkem_keys[0],
        "mlkem.key": mlkem_keys[1],
        "protected.key": hp.protect_private_key(hybrid_keys[1], PASSPHRASE),
        "old.pem": old_private.save_pkcs1(),
        "old.der": old_private.save_pkcs1("DER"),
        "old.pub.pem": old_public.save_pkcs1(),
        "old-pkcs8.der": OldRSA.import_key(old_private.save_pkcs1()).export_key(format="DER", pkcs=8),
        "pass.txt": PASSPHRASE + b"\n",
        "wrong-pass.txt": b"not it\n",
        "empty-pass.txt": b"\n",
    }
    for name, data in files.items():
        (root / name).write_bytes(data)
    return root, (old_public, old_private)


def test_keygen_makes_a_protected_pair_and_never_overwrites(tmp_path, keys):
    (tmp_path / "pass.txt").write_bytes(PASSPHRASE + b"\n")
    result = cli("keygen", "--out", "me.key", "--pubout", "me.pub", "--passphrase-file", "pass.txt", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    private, public = (tmp_path / "me.key").read_bytes(), (tmp_path / "me.pub").read_bytes()
    assert stat.S_IMODE((tmp_path / "me.key").stat().st_mode) == 0o600
    assert json.loads(private)["kind"] == "protected"
    # The report names the files and the public fingerprint, never the key.
    assert private.decode() not in result.stderr.decode() and public.decode() not in result.stderr.decode()

    assert cli("encrypt", "me.pub", "-o", "m.enc", cwd=tmp_path, stdin=b"for me").returncode == 0
    # One final line break is not part of the pass phrase, whichever system wrote the file.
    (tmp_path / "crlf.txt").write_bytes(PASSPHRASE + b"\r\n")
    for passphrase_file in ("pass.txt", "crlf.txt"):
        opened = cli("decrypt", "me.key", "-i", "m.enc", "--passphrase-file", passphrase_file, cwd=tmp_path)
        assert (opened.returncode, opened.stdout) == (0, b"for me"), opened.stderr

    again = cli("keygen", "--out", "me.key", "--pubout", "other.pub", cwd=tmp_path)
    assert again.returncode == 2 and "already exists" in error_line(again)
    assert (tmp_path / "me.key").read_bytes() == private and not (tmp_path / "other.pub").exists()
    same = cli("keygen", "--out", "k", "--pubout", "./k", cwd=tmp_path)
    assert same.returncode == 2 and "same file" in error_line(same)


def test_keygen_of_a_pure_mlkem_pair(tmp_path):
    assert cli("keygen", "--kind", "mlkem", "--out", "m.key", "--pubout", "m.pub", cwd=tmp_path).returncode == 0
    described = json.loads(cli("inspect", "--json", "m.key", "m.pub", cwd=tmp_path).stdout)
    assert [(d["kind"], d["content"]) for d in described] == [("mlkem", "private-key"), ("mlkem", "public-key")]


@pytest.mark.parametrize("kind", ["hybrid", "mlkem"])
def test_encrypt_and_decrypt_through_files_and_standard_streams(tmp_path, keys, kind):
    root, _ = keys
    message = os.urandom(1 << 20)
    (tmp_path / "plain").write_bytes(message)
    assert cli("encrypt", root / f"{kind}.pub", "-i", "plain", "-o", "sealed", cwd=tmp_path).returncode == 0
    assert hp.pqc_decrypt_payload((tmp_path / "sealed").read_bytes(), (root / f"{kind}.key").read_bytes()) == message
    opened = cli("decrypt", root / f"{kind}.key", stdin=(tmp_path / "sealed").read_bytes())
    assert (opened.returncode, opened.stdout) == (0, message)

    # Standard streams, an empty message, and a private key as the encryption key.
    sealed = cli("encrypt", root / f"{kind}.key", stdin=b"")
    assert sealed.returncode == 0 and sealed.stdout[:4] == b"HPQC"
    assert cli("decrypt", root / f"{kind}.key", "-i", "-", "-o", tmp_path / "empty", stdin=sealed.stdout).returncode == 0
    assert (tmp_path / "empty").read_bytes() == b""


def test_failed_decryption_exits_1_and_writes_nothing(tmp_path, keys, other_hybrid_keys):
    root, _ = keys
    sealed = bytearray(cli("encrypt", root / "hybrid.pub", stdin=b"secret").stdout)
    sealed[-1] ^= 1
    (tmp_path / "modified").write_bytes(sealed)
    (tmp_path / "other.key").write_bytes(other_hybrid_keys[1])
    (tmp_path / "mlkem.enc").write_bytes(cli("encrypt", root / "mlkem.pub", stdin=b"x").stdout)
    (tmp_path / "short").write_bytes(b"HPQC\x01\x02")
    cases = [
        (root / "hybrid.key", "modified", "decryption failed: wrong key, or the ciphertext was modified"),
        ("other.key", "modified", "decryption failed"),
        (root / "hybrid.key", "mlkem.enc", "the ciphertext is ML-KEM-768 only but the key is"),
        (root / "hybrid.key", "short", "truncated"),
    ]
    for key, name, expected in cases:
        result = cli("decrypt", key, "-i", name, "-o", "out", cwd=tmp_path)
        assert result.returncode == 1 and expected in error_line(result), (name, result.stderr)
        assert not (tmp_path / "out").exists()


def test_classic_ciphertexts_decrypt_with_their_classic_key_only(tmp_path, keys):
    root, (old_public, _) = keys
    oaep = OldOAEP.new(OldRSA.import_key(old_public.save_pkcs1()))
    for key in ("old.pem", "old.der", "old-pkcs8.der"):
        for sealed in (old_rsa.encrypt(b"from before", old_public), oaep.encrypt(b"from before")):
            result = cli("decrypt", root / key, stdin=sealed)
            assert (result.returncode, result.stdout, result.stderr) == (0, b"from before", b"")
    # Made for another key of the same size: PKCS#1 v1.5 would "decrypt" to random bytes
    # unless its padding is checked.
    other = LegacyKey.shared()
    for sealed in (other.v15(b"not for this key"), other.oaep_encrypt(b"not for this key")):
        result = cli("decrypt", root / "old.pem", "-o", tmp_path / "out", stdin=sealed)
        assert result.returncode == 1 and result.stdout == b"", result.stderr
        assert error_line(result) == ("halcyra-pqc: standard input: decryption failed: wrong key, "
                                      "or the ciphertext was modified")
        assert not (tmp_path / "out").exists()


def test_sign_and_verify_agree_with_the_rsa_package(tmp_path, keys):
    root, (old_public, old_private) = keys
    message = b"the contract"
    signature = cli("sign", root / "hybrid.key", "SHA-256", stdin=message)
    assert signature.returncode == 0
    (tmp_path / "sig").write_bytes(signature.stdout)
    (tmp_path / "msg").write_bytes(message)
    for public in ("hybrid.pub", "hybrid.key"):
        verified = cli("verify", root / public, "sig", "-i", "msg", cwd=tmp_path)
        assert (verified.returncode, verified.stdout) == (0, b"Verification OK (SHA-256)\n")
    changed = cli("verify", root / "hybrid.pub", "sig", cwd=tmp_path, stdin=message + b".")
    assert changed.returncode == 1 and error_line(changed) == "halcyra-pqc: Verification failed"

    # With a classic key, either side may be the old library.
    for key in ("old.pem", "old.der"):
        made = cli("sign", root / key, "SHA-512", "-o", tmp_path / f"{key}.sig", stdin=message)
        assert made.returncode == 0
        assert old_rsa.verify(message, (tmp_path / f"{key}.sig").read_bytes(), old_public) == "SHA-512"
    (tmp_path / "by-rsa.sig").write_bytes(old_rsa.sign(message, old_private, "SHA-384"))
    verified = cli("verify", root / "old.pub.pem", "by-rsa.sig", "-i", "msg", cwd=tmp_path)
    assert (verified.returncode, verified.stdout) == (0, b"Verification OK (SHA-384)\n")
    (tmp_path / "sha1.sig").write_bytes(old_rsa.sign(message, old_private, "SHA-1"))
    weak = cli("verify", root / "old.pem", "sha1.sig", "-i", "msg", cwd=tmp_path)
    assert weak.returncode == 1 and "SHA-1, which is broken" in error_line(weak)

    for name, expected in [("MD5", "MD5 is broken"), ("SHA-1", "SHA-1 is broken"), ("SHA-999", "unknown hash")]:
        refused = cli("sign", root / "hybrid.key", name, "-o", tmp_path / "no.sig", stdin=message)
        assert refused.returncode == 2 and expected in error_line(refused)
        assert not (tmp_path / "no.sig").exists()


@pytest.mark.parametrize("spelled, canonical", [("SHA-224", "SHA-224"), ("sha256", "SHA-256"),
                                                ("Sha-384", "SHA-384"), ("SHA512", "SHA-512")])
def test_signatures_are_the_modules_byte_for_byte(keys, spelled, canonical):
    root, (_, old_private) = keys
    message = b"the contract"
    by_module = {"hybrid.key": ferrovan.sign(message, ferrovan.PrivateKey((root / "hybrid.key").read_bytes()), spelled),
                 "old.pem": old_rsa.sign(message, old_private, canonical)}
    for key, expected in by_module.items():
        made = cli("sign", root / key, spelled, stdin=message)
        assert (made.returncode, made.stdout) == (0, expected), made.stderr
    (root / f"{spelled}.sig").write_bytes(by_module["hybrid.key"])
    verified = cli("verify", root / "hybrid.pub", root / f"{spelled}.sig", stdin=message)
    assert verified.stdout == f"Verification OK ({canonical})\n".encode()


@pytest.mark.parametrize("args, expected", [
    (["encrypt", "old.pub.pem"], "a classic RSA key; new data is only encrypted to post-quantum keys"),
    (["encrypt", "old.pem"], "a classic RSA key"),
    (["encrypt", "protected.key"], "a protected private key; encryption takes the public key"),
    (["encrypt", "pass.txt"], "pass.txt: invalid key bytes"),
    (["encrypt", "missing.pub"], "missing.pub: No such file or directory"),
    (["encrypt", "hybrid.pub", "-i", "missing.txt"], "missing.txt: No such file or directory"),
    (["decrypt", "hybrid.pub"], "a public key, but decryption needs the private key"),
    (["decrypt", "old.pub.pem"], "a public key, but decryption needs the private key"),
    (["decrypt", "protected.key"], "protected by a pass phrase: give --passphrase-file"),
    (["decrypt", "protected.key", "--passphrase-file", "wrong-pass.txt"], "wrong pass phrase"),
    (["decrypt", "protected.key", "--passphrase-file", "empty-pass.txt"], "the pass phrase file is empty"),
    (["sign", "hybrid.pub", "SHA-256"], "a public key, but signing needs the private key"),
    (["sign", "mlkem.key", "SHA-256"], "an ML-KEM-only key cannot sign"),
    (["verify", "mlkem.pub", "pass.txt"], "an ML-KEM-only key has no RSA half"),
    (["verify", "protected.key", "pass.txt"], "verify takes the public key"),
    (["keygen", "--out", "new.key", "--pubout", "new.pub", "--passphrase-file", "missing.txt"],
     "missing.txt: No such file or directory"),
])
def test_misuse_is_one_line_and_exit_code_2(keys, args, expected):
    root, _ = keys
    result = cli(*args, cwd=root, stdin=b"data")
    assert result.returncode == 2, result.stderr
    line = error_line(result)
    assert line.startswith("halcyra-pqc: ") and expected in line, line
    assert not (root / "new.key").exists()


def test_usage_errors_exit_2():
    for args in ([], ["frobnicate"], ["encrypt"], ["migrate", "src"], ["sign", "k"]):
        result = cli(*args)
        assert result.returncode == 2 and b"usage: halcyra-pqc" in result.stderr, args


def test_inspect_names_each_kind_and_shows_no_secret(tmp_path, keys, hybrid_keys):
    root, (old_public, _) = keys
    (tmp_path / "hybrid.enc").write_bytes(cli("encrypt", root / "hybrid.pub", stdin=b"m" * 10).stdout)
    (tmp_path / "mlkem.enc").write_bytes(cli("encrypt", root / "mlkem.pub", stdin=b"").stdout)
    # Cut into its one chunk's tag: a streamed ciphertext cut elsewhere shows only when decrypted.
    (tmp_path / "damaged.enc").write_bytes((tmp_path / "hybrid.enc").read_bytes()[:-20])
    (tmp_path / "classic.bin").write_bytes(old_rsa.encrypt(b"m", old_public))
    (tmp_path / "noise").write_bytes(os.urandom(1000))
    (tmp_path / "empty").write_bytes(b"")
    names = ["hybrid.key", "hybrid.pub", "mlkem.key", "protected.key", "old.pem", "old.pub.pem", "old-pkcs8.der"]
    files = [root / n for n in names] + [tmp_path / n for n in
                                        ("hybrid.enc", "mlkem.enc", "damaged.enc", "classic.bin", "noise", "empty")]
    result = cli("inspect", "--json", *files)
    assert result.returncode == 0, result.stderr
    found = {os.path.basename(d["file"]): (d["kind"], d["content"]) for d in json.loads(result.stdout)}
    assert found == {
        "hybrid.key": ("hybrid", "private-key"), "hybrid.pub": ("hybrid", "public-key"),
        "mlkem.key": ("mlkem", "private-key"), "protected.key": ("protected", "private-key"),
        "old.pem": ("classic-rsa", "private-key"), "old.pub.pem": ("classic-rsa", "public-key"),
        "old-pkcs8.der": ("classic-rsa", "private-key"),
        "hybrid.enc": ("hybrid", "ciphertext"), "mlkem.enc": ("mlkem", "ciphertext"),
        "damaged.enc": ("unknown", "ciphertext"), "classic.bin": ("classic-rsa", "ciphertext"),
        "noise": ("unknown", None), "empty": ("unknown", None),
    }
    private = json.loads(hybrid_keys[1])
    secrets = [private["mlkem"], private["rsa"][40:80]] + (root / "old.pem").read_text().splitlines()[1:-1]
    text = cli("inspect", *files).stdout.decode()
    for shown in (result.stdout.decode(), text):
        assert not any(secret in shown for secret in secrets)
    assert "hybrid ML-KEM-768+RSA-3072 private key" in text and "sha256:" in text

    missing = cli("inspect", root / "hybrid.pub", tmp_path / "missing")
    assert missing.returncode == 2 and b"No such file or directory" in missing.stdout


def test_every_command_documents_examples_and_exit_codes():
    for command in ("", "keygen", "encrypt", "decrypt", "sign", "verify", "inspect", "migrate"):
        result = cli(*command.split(), "--help")
        assert result.returncode == 0
        assert b"examples:" in result.stdout and b"exit codes:" in result.stdout, command


@pytest.mark.skipif(not SCRIPT.exists(), reason="the package is not installed, so there is no console script")
def test_the_console_script_and_the_module_are_the_same_tool():
    import sys

    assert COMMAND == [str(SCRIPT)]
    by_script = cli("--version")
    by_module = cli("--version", command=[sys.executable, "-m", "halcyra_pqc"])
    assert by_script.returncode == by_module.returncode == 0
    assert by_script.stdout == by_module.stdout and by_script.stdout.startswith(b"halcyra-pqc ")


def test_binary_output_is_not_written_to_a_terminal(keys):
    import pty
    import subprocess

    from cli_support import environment

    root, _ = keys
    controller, terminal = pty.openpty()
    try:
        for args in (["encrypt", root / "hybrid.pub"], ["sign", root / "hybrid.key", "SHA-256"]):
            result = subprocess.run([*COMMAND, *map(str, args)], input=b"data", stdout=terminal,
                                    stderr=subprocess.PIPE, env=environment(), timeout=60)
            assert result.returncode == 2
            assert "not writing binary data to a terminal: give -o FILE" in result.stderr.decode()
    finally:
        os.close(controller)
        os.close(terminal)


def test_the_command_line_imports_no_private_module_of_the_package():
    """It runs on the public API, as any program would."""
    found = []
    for path in sorted((PACKAGE_DIR / "_cli").rglob("*.py")):
        package = ".".join(("halcyra_pqc", *path.relative_to(PACKAGE_DIR).parent.parts))
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Import):
                modules = [alias.name for alias in node.names]
            elif isinstance(node, ast.ImportFrom):
                base = package.rsplit(".", node.level - 1)[0] if node.level else ""
                module = ".".join(filter(None, (base, node.module)))
                modules = [module] + [f"{module}.{alias.name}" for alias in node.names]
            else:
                continue
            for module in modules:
                inner = module.removeprefix("halcyra_pqc._cli")
                if module.startswith("halcyra_pqc") and any(part.startswith("_") for part in inner.split(".")[1:]):
                    found.append(f"{path.relative_to(PACKAGE_DIR)}:{node.lineno}: {module}")
    assert not found
