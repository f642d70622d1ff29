"""Which external functions a replay may simply run instead of mocking.

``STATELESS_EXTERNAL_FULL_NAMES`` lists, by the full names that
``corvane_common.qualnames.get_function_full_name`` gives them, built-in and
standard-library functions that are pure: their result depends only on
their arguments, they change nothing (not even their arguments, beyond
consuming an iterator handed to them), and they keep no hidden state such as caches, clocks, random generators, the file
system, the environment or the working directory.  Calls to them are not
recorded.  Functions that mutate an argument (``list.append``, in-place
operators, ``heapq.heappush``), consume an iterator (``next``), read process
state (``id``, ``time.time``, ``os.getcwd``) or do I/O (``open``, ``print``,
``input``) are deliberately absent.
"""


def _names(prefix, names):
    return [prefix + "." + name for name in names.split()]


_BUILTIN_FUNCTIONS = _names("builtins", """
    abs all any ascii bin callable chr divmod format hex isinstance issubclass
    len max min oct ord pow repr round sorted sum
""")

# Constructors and conversions of immutable or fresh values.
_BUILTIN_TYPES = _names("builtins", """
    bool bytes complex dict enumerate filter float frozenset int list map range
    reversed set slice str tuple zip
""")

_STR_METHODS = _names("builtins.str", """
    capitalize casefold center count encode endswith expandtabs find format
    format_map index isalnum isalpha isascii isdecimal isdigit isidentifier
    islower isnumeric isprintable isspace istitle isupper join ljust lower lstrip
    partition removeprefix removesuffix replace rfind rindex rjust rpartition
    rsplit rstrip split splitlines startswith strip swapcase title translate
    upper zfill maketrans
""")

_BYTES_METHODS = _names("builtins.bytes", """
    count decode endswith find hex index isalnum isalpha isascii isdigit islower
    isspace istitle isupper join lower lstrip partition removeprefix removesuffix
    replace rfind rindex rpartition rsplit rstrip split splitlines startswith
    strip upper fromhex
""")

# Read-only methods of containers (they neither change nor retain anything).
_CONTAINER_METHODS = (
    _names("builtins.dict", "get keys values items copy fromkeys")
    + _names("builtins.list", "count index copy")
    + _names("builtins.tuple", "count index")
    + _names("builtins.set", "copy difference intersection isdisjoint issubset issuperset "
             "symmetric_difference union")
    + _names("builtins.frozenset", "copy difference intersection isdisjoint issubset "
             "issuperset symmetric_difference union")
    + _names("builtins.int", "bit_length bit_count to_bytes from_bytes conjugate")
    + _names("builtins.float", "is_integer hex fromhex as_integer_ratio conjugate")
)

_MATH = _names("math", """
    acos acosh asin asinh atan atan2 atanh ceil comb copysign cos cosh degrees
    dist erf erfc exp expm1 fabs factorial floor fmod frexp fsum gamma gcd hypot
    isclose isfinite isinf isnan isqrt lcm ldexp lgamma log log10 log1p log2 modf
    nextafter perm pow prod radians remainder sin sinh sqrt tan tanh trunc ulp
""")

_CMATH = _names("cmath", """
    acos acosh asin asinh atan atanh cos cosh exp isclose isfinite isinf isnan log
    log10 phase polar rect sin sinh sqrt tan tanh
""")

# The operator module re-exports the C implementations of _operator.
_OPERATOR = _names("_operator", """
    abs add and_ concat contains countOf eq floordiv ge getitem gt index indexOf
    inv invert is_ is_not le length_hint lshift lt matmul mod mul ne neg not_ or_
    pos pow rshift sub truediv truth xor
""")

_OTHER_STDLIB = (
    _names("_bisect", "bisect_left bisect_right")
    + _names("_functools", "reduce")
    + _names("_struct", "pack unpack calcsize iter_unpack unpack_from")
    + _names("binascii", "hexlify unhexlify b2a_base64 a2b_base64 b2a_hex a2b_hex crc32 crc_hqx")
    + _names("zlib", "crc32 adler32")
    + _names("base64", "b64encode b64decode urlsafe_b64encode urlsafe_b64decode "
             "standard_b64encode standard_b64decode b32encode b32decode b16encode b16decode")
    + _names("unicodedata", "category bidirectional combining decimal digit east_asian_width "
             "mirrored name normalize numeric decomposition is_normalized")
    + _names("json", "dumps loads")
    + _names("posixpath", "join basename dirname split splitext normcase isabs commonpath")
    + _names("genericpath", "commonprefix")
    + _names("html", "escape unescape")
    + _names("textwrap", "dedent indent")
    + _names("string", "capwords")
    + _names("heapq", "nlargest nsmallest")
    + _names("statistics", "mean median median_low median_high mode multimode fmean "
             "geometric_mean harmonic_mean pstdev pvariance stdev variance")
    + _names("colorsys", "rgb_to_hsv hsv_to_rgb rgb_to_hls hls_to_rgb rgb_to_yiq yiq_to_rgb")
    + _names("typing", "cast")
    + ["collections.OrderedDict.__init__", "collections.Counter.__init__",
       "collections.defaultdict.__init__", "collections.deque.__init__",
       "uuid.UUID.__init__", "ipaddress.ip_address", "ipaddress.ip_network"]
)


class MockPolicyConsts:
    STATELESS_EXTERNAL_FULL_NAMES = frozenset(
        _BUILTIN_FUNCTIONS + _BUILTIN_TYPES + _STR_METHODS + _BYTES_METHODS
        + _CONTAINER_METHODS + _MATH + _CMATH + _OPERATOR + _OTHER_STDLIB)
