// Identifiers of Python's own that the runtime itself uses.
#pragma once

#include "text.h"

namespace frame::n {

inline Name dunder_module{"__module__"};
inline Name dunder_qualname{"__qualname__"};
inline Name dunder_doc{"__doc__"};
inline Name dunder_orig_bases{"__orig_bases__"};
inline Name dunder_prepare{"__prepare__"};
inline Name dunder_mro_entries{"__mro_entries__"};
inline Name staticmethod{"staticmethod"};
inline Name add_note{"add_note"};
inline Name replace{"replace"};
inline Name co_varnames{"co_varnames"};
inline Name co_argcount{"co_argcount"};
inline Name co_nlocals{"co_nlocals"};
inline Name co_flags{"co_flags"};

}  // namespace frame::n
