"""What a new file or directory keeps of the one it stands for, as `cp -a` and `rsync -aAX`
keep it: owner and group (where this process may set them), ACLs and other extended
attributes, the mode, and for files the access and modification times.

The order matters: a change of owner clears set-user-ID bits and file capabilities, so the
owner comes first; setting an access ACL rewrites the group bits of the mode, so the mode
comes after the attributes. Each thing that cannot be kept is returned as (what, why), for
the summary; none stops the work, since every new file starts out readable by its creator
alone (mode 0600) and only ever gains what its source had.
"""

import errno
import os
import stat

# ACLs a new file inherits from its directory's default ACL, which its source did not have.
_INHERITED = ("system.posix_acl_access", "system.posix_acl_default")
# No extended attributes here at all: nothing to keep, nothing lost.
_UNSUPPORTED = {errno.ENOTSUP, errno.EOPNOTSUPP}

Lost = tuple[str, str]  # (what was not kept, why)


def copy_file(source_fd: int, source: os.stat_result, target_fd: int) -> list[Lost]:
    """Gives the file open as target_fd what the file open as source_fd has."""
    lost = _owner(source, target_fd)
    lost += _attributes(source_fd, target_fd)
    _mode(source, target_fd, lost)
    try:
        os.utime(target_fd, ns=(source.st_atime_ns, source.st_mtime_ns))
    except OSError as error:
        lost.append(("modification time", error.strerror))
    return lost


def copy_directory(source_fd: int, target_fd: int) -> list[Lost]:
    """Gives a directory of the backup or output tree its source directory's owner, ACLs and
    attributes, and mode. One that stays this process's own keeps its owner's write and
    search permissions, without which the migration could not write into it."""
    source = os.fstat(source_fd)
    lost = _owner(source, target_fd)
    lost += _attributes(source_fd, target_fd)
    _mode(source, target_fd, lost)
    if source.st_mode & 0o300 != 0o300 and os.fstat(target_fd).st_uid == os.geteuid():
        os.fchmod(target_fd, stat.S_IMODE(os.fstat(target_fd).st_mode) | 0o300)
        lost.append(("mode", "its owner may write into it, to write the migrated files"))
    return lost


def copy_link(source_dir: int, target_dir: int, name: str, target_name: str) -> list[Lost]:
    """Gives a symbolic link the owner and times of the one it copies."""
    source = os.lstat(name, dir_fd=source_dir)
    lost = []
    try:
        os.chown(target_name, source.st_uid, source.st_gid, dir_fd=target_dir, follow_symlinks=False)
    except OSError as error:
        lost.append(("owner and group", error.strerror))
    try:
        os.utime(target_name, ns=(source.st_atime_ns, source.st_mtime_ns), dir_fd=target_dir,
                 follow_symlinks=False)
    except OSError as error:
        lost.append(("modification time", error.strerror))
    return lost


def _owner(source: os.stat_result, target_fd: int) -> list[Lost]:
    current = os.fstat(target_fd)
    if (current.st_uid, current.st_gid) == (source.st_uid, source.st_gid):
        return []
    try:
        os.fchown(target_fd, source.st_uid, source.st_gid)
        return []
    except PermissionError:
        pass
    # Without the privilege, a process may still give its own file a group it belongs to.
    try:
        os.fchown(target_fd, -1, source.st_gid)
    except OSError:
        return [(_GROUP_LOST, os.strerror(errno.EPERM))]
    return [] if current.st_uid == source.st_uid else [("owner", os.strerror(errno.EPERM))]


# Another group than the source's must not gain its group's permissions.
_GROUP_LOST = "owner and group (group permissions withheld)"


def _mode(source: os.stat_result, target_fd: int, lost: list[Lost]) -> None:
    mode = stat.S_IMODE(source.st_mode)
    if any(what == _GROUP_LOST for what, _ in lost):
        mode &= ~0o070
    try:
        os.fchmod(target_fd, mode)
    except OSError as error:
        lost.append(("mode", error.strerror))
        # Never more open than the source: what cannot be copied is closed instead.
        os.fchmod(target_fd, mode & 0o700)


def _attributes(source_fd: int, target_fd: int) -> list[Lost]:
    lost = []
    try:
        wanted = {name: os.getxattr(source_fd, name) for name in os.listxattr(source_fd)}
    except OSError as error:
        if error.errno in _UNSUPPORTED:
            return []
        return [("extended attributes", error.strerror)]
    try:
        present = set(os.listxattr(target_fd))
    except OSError as error:
        if error.errno not in _UNSUPPORTED:
            raise
        present = set()
    for name in _INHERITED:
        if name in present and name not in wanted:
            # A default ACL of the new directory must not open what the source kept closed.
            os.removexattr(target_fd, name)
    for name, value in wanted.items():
        try:
            if name in present and os.getxattr(target_fd, name) == value:
                continue
            os.setxattr(target_fd, name, value)
        except OSError as error:
            lost.append((f"extended attribute {name}", error.strerror))
    return lost
