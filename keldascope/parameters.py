"""`malven.Parameters` as plain data: the settings travel to other processes (Dask workers) and
into JSON as a dict of field name to value, and come back as a `Parameters` object.

The field names are read off the class itself, in the order it declares them, so that this
module never keeps a list of its own."""
import malven


def field_names():
    """The settings of `malven.Parameters`, in declaration order."""
    kind = type(malven.Parameters.__dict__["e1"])  # the descriptor type of a setting
    # PyPy lists its own __weakref__ descriptor among the class's attributes too.
    return tuple(name for name, attr in malven.Parameters.__dict__.items()
                 if isinstance(attr, kind) and not name.startswith("_"))


def to_dict(params):
    """A dict of every setting of `params` (a `malven.Parameters`), or None for None."""
    if params is None:
        return None
    if not isinstance(params, malven.Parameters):
        raise TypeError(f"expected malven.Parameters or None, not {type(params).__name__}")
    return {name: getattr(params, name) for name in field_names()}


def from_dict(fields):
    """A `malven.Parameters` with the given settings (the others at their defaults), or None
    for None. Unknown names raise TypeError; values are converted and checked as the class's
    own attributes check them."""
    if fields is None:
        return None
    known = set(field_names())
    unknown = sorted(set(fields) - known)
    if unknown:
        raise TypeError(f"unknown Parameters field(s): {', '.join(unknown)}")
    params = malven.Parameters()
    for name, value in fields.items():
        setattr(params, name, value)
    return params


def coerce(params):
    """Parameters given as None, a `malven.Parameters` or a dict of settings, as a
    `malven.Parameters` or None; the form every toolkit function accepts."""
    if params is None or isinstance(params, malven.Parameters):
        return params
    if isinstance(params, dict):
        return from_dict(params)
    raise TypeError(f"params must be malven.Parameters, a dict of its settings or None, "
                    f"not {type(params).__name__}")
