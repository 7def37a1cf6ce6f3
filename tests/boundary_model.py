"""What the binding makes of a Python argument, written from its conversion rules: the native
value, or Refused (the call raises TypeError). Covers the object kinds the fuzz tests make."""

INT32 = (-(2**31), 2**31 - 1)


class Refused(Exception):
    pass


def _is_number(obj):
    kind = type(obj)
    return any(hasattr(kind, name) for name in ("__index__", "__int__", "__float__"))


def to_int(obj):
    if isinstance(obj, float):
        raise Refused
    try:
        value = obj.__index__() if not isinstance(obj, int) else int(obj)
    except Exception:
        if not _is_number(obj):
            raise Refused from None
        try:
            value = int(obj)
        except Exception:
            raise Refused from None
        if isinstance(value, float):
            raise Refused from None
    if not INT32[0] <= value <= INT32[1]:
        raise Refused
    return value


def to_float(obj):
    try:
        return float(obj) if isinstance(obj, int | float) else obj.__float__()
    except (OverflowError, AttributeError, TypeError, ValueError):
        pass
    try:
        return float(obj.__index__())
    except Exception:
        raise Refused from None


def to_str(obj):
    if isinstance(obj, str):
        try:
            return obj.encode("utf-8")
        except UnicodeEncodeError:
            raise Refused from None
    if isinstance(obj, bytes | bytearray):
        return bytes(obj)
    raise Refused


def to_set(obj):
    if not isinstance(obj, set | frozenset):
        raise Refused
    return {to_int(v) for v in obj}


def to_hyperedges(obj):
    if isinstance(obj, str | bytes | set | frozenset | dict) or not hasattr(
        type(obj), "__getitem__"
    ):
        raise Refused
    return [to_set(obj[k]) for k in range(len(obj))]


def to_incidence(obj):
    if not isinstance(obj, dict):
        raise Refused
    native = {}
    for key, value in obj.items():
        converted_key, converted_value = to_int(key), to_set(value)
        native.setdefault(converted_key, converted_value)
    return native
