// The method object of an instance method: a callable that binds to an instance like a
// Python function (so the receiver check is the method's own, for calls through the class
// too), and introspects like a built-in method: __name__, __qualname__, __doc__,
// __text_signature__ and __module__ (None). inspect takes it for a method descriptor and
// reads its signature, `self` included, from __text_signature__.
#pragma once

#include <Python.h>

#include "python/py_ref.h"

namespace korvel::py {

// A new method `name` of the class `owner` (its __qualname__ "owner.name") calling `call`
// with the receiver as the first argument. `docstring` is in the interpreter's layout for
// built-ins ("name($self, ...)\n--\n\nbody"). Null with the error set on failure.
OwnedRef new_method_object(const char* owner, const char* name, const char* docstring,
                           vectorcallfunc call);

}  // namespace korvel::py
