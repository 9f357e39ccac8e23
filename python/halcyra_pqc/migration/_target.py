"""A database store as the operator names it: a SQLAlchemy URL whose query says which table,
which column holds the ciphertexts and which column is the key, for example

    sqlite:///app.db?table=secrets&column=blob&key=id
    postgresql://app@db.internal/prod?table=secrets&column=blob&key=id

The other query parameters go to the database driver, as SQLAlchemy passes them. A plain
`postgresql://` URL is read through psycopg 3. The URL's password is kept for connecting
only: what is printed and journaled shows it as `***`.
"""

import os
import re
from dataclasses import dataclass, field

from ._errors import Refused

_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.\-]*://")
_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_$]*")
BACKUP_SUFFIX = "_halcyra_backup"

# The optional extras that bring each piece, named in the message when it is missing.
DB_EXTRA = "halcyra-pqc[db]"
POSTGRESQL_EXTRA = "halcyra-pqc[postgresql]"


def is_database_url(source: str) -> bool:
    return _URL.match(source) is not None


@dataclass(frozen=True)
class DatabaseTarget:
    url: str = field(repr=False)  # with its password, for connecting
    shown: str  # the password hidden, for messages, the journal and the identity
    table: str
    column: str
    key: str
    backup: str  # the backup table's name
    database: str | None  # the database's name, or an SQLite file's path

    @property
    def is_sqlite(self) -> bool:
        return self.url.startswith("sqlite")

    def default_state(self) -> str:
        """An SQLite file's state lies beside it; any other database's in the working directory."""
        from ._plan import STATE_SUFFIX

        if self.is_sqlite and self.database and self.database != ":memory:":
            return f"{self.database}.{self.table}{STATE_SUFFIX}"
        return os.path.join(os.getcwd(), f"{self.database or 'database'}.{self.table}{STATE_SUFFIX}")


def require_sqlalchemy():
    try:
        import sqlalchemy
    except ImportError:
        raise Refused(f"database stores need SQLAlchemy: pip install '{DB_EXTRA}'") from None
    return sqlalchemy


def parse_target(source: str) -> DatabaseTarget:
    """The store a URL names (Refused, saying what is missing or wrong)."""
    sqlalchemy = require_sqlalchemy()
    try:
        url = sqlalchemy.engine.make_url(source)
    except sqlalchemy.exc.ArgumentError as error:
        raise Refused(f"not a database URL: {error}") from None
    query = dict(url.query)
    names = {}
    for name in ("table", "column", "key", "backup"):
        value = query.pop(name, None)
        if isinstance(value, tuple):
            raise Refused(f"the database URL gives {name}= more than once")
        if value is not None and not _NAME.fullmatch(value):
            raise Refused(f"the database URL's {name}= must be a plain name (letters, digits, _), not {value!r}")
        names[name] = value
    missing = [name for name in ("table", "column", "key") if names[name] is None]
    if missing:
        raise Refused(f"the database URL must name the table, the ciphertext column and the primary key: add "
                      f"{'&'.join(f'{name}=...' for name in missing)} to its query, as in "
                      f"sqlite:///app.db?table=secrets&column=blob&key=id")
    if names["column"] == names["key"]:
        raise Refused("the database URL's column= and key= name the same column")
    backup = names["backup"] or names["table"] + BACKUP_SUFFIX
    if backup == names["table"]:
        raise Refused("the database URL's backup= names the table itself")
    url = url.set(query=query)
    if url.drivername == "postgresql":
        url = url.set(drivername="postgresql+psycopg")
    if url.drivername.startswith("postgresql"):
        try:
            import psycopg  # noqa: F401
        except ImportError:
            raise Refused(f"PostgreSQL stores need psycopg 3: pip install '{POSTGRESQL_EXTRA}'") from None
    database = url.database
    if url.drivername.startswith("sqlite") and database and database != ":memory:":
        database = os.path.realpath(database)
        url = url.set(database=database)
    shown = url.set(query={**query, **{name: value for name, value in names.items() if value}})
    return DatabaseTarget(url.render_as_string(hide_password=False), shown.render_as_string(hide_password=True),
                          names["table"], names["column"], names["key"], backup, database)
