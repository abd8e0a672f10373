"""Registration of velmora_core and how its functions bind and convert arguments."""

import importlib
import inspect
import operator
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import velmora_core
from support import (
    FUNCTION_NAMES,
    PARAMETERS,
    UNSIGNED_PARAMETERS,
    Index,
    call_past_conversion,
    flat_image,
    noise_image,
    type_error_with_cause,
    valid_arguments,
)

EM = "\u2014"

MODULE_DOC = (
    f"**Module Registrar** {EM} called by the Python import machinery.\n"
    "\n"
    "Registers all public symbols into the `velmora_core` Python module."
)

TEXT_SIGNATURES = {
    "run_velmora_engine": "(image, payload_size, colony_size=30, max_iter=50, min_block=4)",
    "embed_with_details": "(image, payload_size, colony_size=30, max_iter=50, min_block=4)",
    "get_quadtree_sparse_map": "(image, min_block=4)",
    "dabc_select_coords": "(image, pool, payload_size, colony_size, max_iter, seed)",
}

DOCS = {
    "run_velmora_engine": "\n".join(
        [
            "**Primary pipeline entry-point exposed to Python.**",
            "",
            "Executes the full three-phase steganography pipeline end-to-end and",
            "returns the stego image together with runtime telemetry.",
            "",
            "# Python Signature",
            "```python",
            "stego_img, elapsed_ms, pool_size = velmora_core.run_velmora_engine(",
            "    image,            # np.ndarray, shape (H, W), dtype=np.uint8",
            f"    payload_size,     # int {EM} number of secret bits to embed",
            f"    colony_size=30,   # int {EM} D-ABC colony size (must be even)",
            f"    max_iter=50,      # int {EM} D-ABC iteration budget",
            f"    min_block=4,      # int {EM} Quadtree minimum block side (pixels)",
            ")",
            "```",
            "",
            "# Returns",
            f"- `stego_img`  : `np.ndarray` {EM} stego image, same shape/dtype as input.",
            f"- `elapsed_ms` : `float`      {EM} wall-clock execution time in milliseconds.",
            f"- `pool_size`  : `int`        {EM} size of the Quadtree sparse pool K.",
            "",
            "# Raises",
            "- `ValueError` if the Quadtree pool is smaller than `payload_size`.",
        ]
    ),
    "embed_with_details": "\n".join(
        [
            f"**Full-detail pipeline** {EM} returns stego image, ABC-selected embedding",
            "coordinates, and the actual payload bits for visualisation purposes.",
            "",
            "# Python Signature",
            "```python",
            "stego, elapsed_ms, pool_size, coords_y, coords_x, payload = \\",
            "    velmora_core.embed_with_details(image, payload_size, colony_size, max_iter, min_block)",
            "```",
            f"- `coords_y`, `coords_x` : `np.ndarray[int64]` {EM} row / column of each embedded bit.",
            f"- `payload`              : `np.ndarray[uint8]`  {EM} the embedded bit sequence (0 or 1).",
        ]
    ),
    "get_quadtree_sparse_map": "\n".join(
        [
            f"**Quadtree Sparse Map Inspector** {EM} exposed for Python-side visualisation.",
            "",
            "Returns the raw list of (y, x) coordinates that constitute the Quadtree",
            "sparse pool, allowing Python code to overlay them on the original image",
            "for publication-quality figures.",
            "",
            "# Python Signature",
            "```python",
            "coords = velmora_core.get_quadtree_sparse_map(image, min_block=4)",
            "# coords: list[tuple[int, int]]",
            "```",
        ]
    ),
    "dabc_select_coords": "\n".join(
        [
            f"**Deterministic D-ABC Coordinate Selector** {EM} exposed for product workflows.",
            "",
            "Accepts a precomputed quadtree pool and returns the D-ABC-optimised",
            "coordinates using a deterministic RNG seed for reproducibility.",
            "",
            "# Python Signature",
            "```python",
            "coords = velmora_core.dabc_select_coords(",
            "    image, pool, payload_size, colony_size, max_iter, seed",
            ")",
            "```",
        ]
    ),
}


# Plain Python functions with the same names and parameter lists.  Binding
# errors of the module must read exactly like the ones the interpreter raises
# for these (they are module-level so that their qualified name is their name).
def run_velmora_engine(image, payload_size, colony_size=30, max_iter=50, min_block=4):
    raise AssertionError("bound successfully")


def embed_with_details(image, payload_size, colony_size=30, max_iter=50, min_block=4):
    raise AssertionError("bound successfully")


def get_quadtree_sparse_map(image, min_block=4):
    raise AssertionError("bound successfully")


def dabc_select_coords(image, pool, payload_size, colony_size, max_iter, seed):
    raise AssertionError("bound successfully")


PYTHON_TWINS = {
    "run_velmora_engine": run_velmora_engine,
    "embed_with_details": embed_with_details,
    "get_quadtree_sparse_map": get_quadtree_sparse_map,
    "dabc_select_coords": dabc_select_coords,
}


def python_binding_error(name, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        PYTHON_TWINS[name](*args, **kwargs)
    return str(info.value)


def module_binding_error(name, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        getattr(velmora_core, name)(*args, **kwargs)
    assert type(info.value) is TypeError
    return str(info.value)


def interpreter_index_error(value):
    """The message the interpreter gives when value has no integer index."""
    with pytest.raises(TypeError) as info:
        operator.index(value)
    return str(info.value)


def interpreter_overflow_message(value):
    """The interpreter's message for an int outside the unsigned 64-bit range."""
    with pytest.raises(OverflowError) as info:
        value.to_bytes(8, "little", signed=False)
    return str(info.value)


# ---------------------------------------------------------------------------
# Registration
# ---------------------------------------------------------------------------


def test_all_lists_the_four_functions_in_registration_order():
    assert type(velmora_core.__all__) is list
    assert velmora_core.__all__ == list(FUNCTION_NAMES)


def test_public_names_are_exactly_the_exported_functions():
    public = sorted(n for n in dir(velmora_core) if not n.startswith("_"))
    assert public == sorted(FUNCTION_NAMES)


def test_module_name_and_docstring():
    assert velmora_core.__name__ == "velmora_core"
    assert velmora_core.__doc__ == MODULE_DOC


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_function_is_a_builtin_bound_to_the_module(name):
    func = getattr(velmora_core, name)
    assert isinstance(func, type(len))
    assert func.__name__ == name
    assert func.__qualname__ == name
    assert func.__module__ == "velmora_core"
    assert func.__self__ is velmora_core


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_text_signature(name):
    assert getattr(velmora_core, name).__text_signature__ == TEXT_SIGNATURES[name]


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_docstring_text(name):
    doc = getattr(velmora_core, name).__doc__
    assert doc == DOCS[name]
    assert not doc.endswith("\n")


def test_embed_with_details_docstring_keeps_its_line_continuation():
    line = velmora_core.embed_with_details.__doc__.split("\n")[5]
    assert line.endswith(" = \\")
    assert not line.endswith("\\\\")


def test_inspect_signature_shows_parameters_and_defaults():
    empty = inspect.Parameter.empty
    expected = {
        "run_velmora_engine": [
            ("image", empty),
            ("payload_size", empty),
            ("colony_size", 30),
            ("max_iter", 50),
            ("min_block", 4),
        ],
        "get_quadtree_sparse_map": [("image", empty), ("min_block", 4)],
        "dabc_select_coords": [
            (p, empty) for p in ("image", "pool", "payload_size", "colony_size", "max_iter", "seed")
        ],
    }
    expected["embed_with_details"] = expected["run_velmora_engine"]
    for name in FUNCTION_NAMES:
        sig = inspect.signature(getattr(velmora_core, name))
        got = [(p.name, p.default) for p in sig.parameters.values()]
        assert got == expected[name], name
        kinds = {p.kind for p in sig.parameters.values()}
        assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}, name
        assert sig == inspect.signature(PYTHON_TWINS[name]), name


def test_reimport_returns_the_same_module_object():
    original = sys.modules["velmora_core"]
    try:
        del sys.modules["velmora_core"]
        again = importlib.import_module("velmora_core")
        assert again is original
        assert again.get_quadtree_sparse_map is original.get_quadtree_sparse_map
    finally:
        sys.modules["velmora_core"] = original


def test_reimport_does_not_grow_all():
    original = sys.modules["velmora_core"]
    try:
        for _ in range(3):
            del sys.modules["velmora_core"]
            importlib.import_module("velmora_core")
        assert original.__all__ == list(FUNCTION_NAMES)
    finally:
        sys.modules["velmora_core"] = original


def test_import_from_a_subinterpreter_is_refused():
    # Run in a child process: the module may be imported only from one
    # interpreter per process, and the main one must own it first.
    script = textwrap.dedent(
        """
        import sys
        import velmora_core
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            try:
                import _interpreters as interpreters
            except ImportError:
                print("NO-SUBINTERPRETERS")
                sys.exit(0)
        # a legacy (non-isolated) interpreter, so that the import reaches the
        # module's own init hook rather than the interpreter's isolation check
        for make in (
            lambda: interpreters.create("legacy"),
            lambda: interpreters.create(isolated=False),
            lambda: interpreters.create(),
        ):
            try:
                interp = make()
                break
            except TypeError:
                continue
        code = "import velmora_core"
        try:
            outcome = interpreters.run_string(interp, code)
        except Exception as exc:
            outcome = exc
        print("OUTCOME", repr(outcome))
        # The main interpreter keeps its module and keeps working.
        import numpy as np
        pool = velmora_core.get_quadtree_sparse_map(np.array([[0, 255], [255, 0]], np.uint8))
        print("MAIN", pool)
        """
    )
    proc = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=60
    )
    assert proc.returncode == 0, proc.stderr
    if "NO-SUBINTERPRETERS" in proc.stdout:
        pytest.skip("this interpreter offers no sub-interpreters")
    assert "OUTCOME" in proc.stdout
    assert "ImportError" in proc.stdout, proc.stdout
    assert re.search(r"sub-?interpreters", proc.stdout, re.IGNORECASE), proc.stdout
    assert "MAIN [(0, 0), (0, 1), (1, 0), (1, 1)]" in proc.stdout, proc.stdout



# ---------------------------------------------------------------------------
# Binding: messages read like those of Python functions
# ---------------------------------------------------------------------------

IMG = flat_image()

SINGLE_FAULT_CALLS = [
    # too many positional arguments
    ("run_velmora_engine", (IMG, 1, 2, 3, 4, 5), {}),
    ("run_velmora_engine", (IMG, 1, 2, 3, 4, 5, 6, 7), {}),
    ("embed_with_details", (IMG, 1, 2, 3, 4, 5), {}),
    ("get_quadtree_sparse_map", (IMG, 4, 5), {}),
    ("dabc_select_coords", (IMG, [], 1, 2, 3, 4, 5), {}),
    # unexpected keyword
    ("run_velmora_engine", (IMG, 1), {"bogus": 1}),
    ("embed_with_details", (IMG, 1), {"min_blocks_total": 1}),
    ("get_quadtree_sparse_map", (IMG,), {"zzz": 4}),
    ("get_quadtree_sparse_map", (), {"image": IMG, "\u00e9l\u00e9phant": 4}),
    ("dabc_select_coords", (IMG, [], 1, 2, 3, 4), {"rng": 1}),
    # a value given twice
    ("run_velmora_engine", (IMG, 1), {"image": IMG}),
    ("run_velmora_engine", (IMG, 1, 30), {"colony_size": 30}),
    ("embed_with_details", (IMG, 1, 2, 3, 4), {"min_block": 4}),
    ("get_quadtree_sparse_map", (IMG, 4), {"min_block": 4}),
    ("dabc_select_coords", (IMG, [], 1, 2, 3, 4), {"pool": []}),
    ("dabc_select_coords", (IMG, [], 1, 2, 3, 4), {"seed": 4}),
    # one missing argument
    ("run_velmora_engine", (IMG,), {}),
    ("run_velmora_engine", (), {"payload_size": 1}),
    ("embed_with_details", (), {"image": IMG, "max_iter": 2}),
    ("get_quadtree_sparse_map", (), {}),
    ("get_quadtree_sparse_map", (), {"min_block": 2}),
    ("dabc_select_coords", (IMG, [], 1, 2, 3), {}),
    ("dabc_select_coords", (), {"image": IMG, "pool": [], "payload_size": 1, "colony_size": 2, "seed": 3}),
    # two missing arguments
    ("run_velmora_engine", (), {}),
    ("embed_with_details", (), {"colony_size": 2}),
    ("dabc_select_coords", (IMG, [], 1, 2), {}),
    ("dabc_select_coords", (), {"image": IMG, "payload_size": 1, "max_iter": 2, "colony_size": 3}),
    # three or more missing arguments
    ("dabc_select_coords", (IMG, [], 1), {}),
    ("dabc_select_coords", (), {"pool": [], "seed": 1}),
    ("dabc_select_coords", (IMG,), {}),
    ("dabc_select_coords", (), {}),
]


@pytest.mark.parametrize(
    "name, args, kwargs",
    SINGLE_FAULT_CALLS,
    ids=[f"{n}-{len(a)}pos-{'+'.join(k) or 'nokw'}" for n, a, k in SINGLE_FAULT_CALLS],
)
def test_binding_error_reads_like_a_python_function(name, args, kwargs):
    expected = python_binding_error(name, *args, **kwargs)
    assert expected.startswith(name + "()")
    assert module_binding_error(name, *args, **kwargs) == expected


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_binding_error_happens_before_any_conversion(name):
    # Every argument here is unconvertible, yet the binding fault is reported.
    index = Index(exc=RuntimeError("converted"))
    params = PARAMETERS[name]
    args = (None,) + (index,) * (len(params) - 1) + (index,)
    expected = python_binding_error(name, *args)
    assert module_binding_error(name, *args) == expected
    assert index.calls == 0


# When several binding faults are present at once the module reports the
# first of: too many positionals, then each keyword in the order given, then
# the missing parameters.
MULTI_FAULT_CALLS = [
    # too many positionals beats a bad keyword and a duplicate
    (
        "run_velmora_engine",
        (IMG, 1, 2, 3, 4, 5),
        {"bogus": 1, "image": IMG},
        ((IMG, 1, 2, 3, 4, 5), {}),
    ),
    (
        "get_quadtree_sparse_map",
        (IMG, 1, 2),
        {"min_block": 1},
        ((IMG, 1, 2), {}),
    ),
    # keywords are examined in the order they were passed
    (
        "run_velmora_engine",
        (IMG, 1),
        {"bogus": 1, "image": IMG},
        ((IMG, 1), {"bogus": 1}),
    ),
    (
        "run_velmora_engine",
        (IMG, 1),
        {"image": IMG, "bogus": 1},
        ((IMG, 1), {"image": IMG}),
    ),
    # a keyword fault beats missing parameters
    (
        "dabc_select_coords",
        (),
        {"rng": 1},
        ((IMG, [], 1, 2, 3, 4), {"rng": 1}),
    ),
    (
        "dabc_select_coords",
        (IMG,),
        {"image": IMG},
        ((IMG,), {"image": IMG, "pool": [], "payload_size": 1, "colony_size": 1, "max_iter": 1, "seed": 1}),
    ),
]


@pytest.mark.parametrize("name, args, kwargs, single_fault", MULTI_FAULT_CALLS)
def test_binding_reports_the_first_fault(name, args, kwargs, single_fault):
    ref_args, ref_kwargs = single_fault
    expected = python_binding_error(name, *ref_args, **ref_kwargs)
    assert module_binding_error(name, *args, **kwargs) == expected


NEAR_MISS_KEYWORDS = ["min_block ", "MIN_BLOCK", "min_block\u0301", "minblock", "Image", ""]


@pytest.mark.parametrize("bad", NEAR_MISS_KEYWORDS, ids=repr)
def test_keyword_names_are_matched_exactly(bad):
    img = noise_image(8, 8)
    message = module_binding_error("get_quadtree_sparse_map", img, **{bad: 4})
    assert message.startswith(f"get_quadtree_sparse_map() got an unexpected keyword argument '{bad}'")


@pytest.mark.parametrize("bad", NEAR_MISS_KEYWORDS, ids=repr)
def test_near_miss_keyword_message_reads_like_a_python_function(bad):
    # Newer interpreters append a "Did you mean ...?" hint for a keyword that
    # is close to a parameter name; the module's wording follows the
    # interpreter it runs in.
    img = noise_image(8, 8)
    expected = python_binding_error("get_quadtree_sparse_map", img, **{bad: 4})
    assert module_binding_error("get_quadtree_sparse_map", img, **{bad: 4}) == expected


def _mutated_names():
    """Keyword names near and far from the declared parameter names."""
    params = sorted({p for sig in PYTHON_TWINS.values() for p in inspect.signature(sig).parameters})
    edits = st.sampled_from(["drop", "dup", "swap", "case", "insert", "replace", "none"])

    @st.composite
    def mutate(draw):
        name = list(draw(st.sampled_from(params)))
        for _ in range(draw(st.integers(0, 3))):
            edit = draw(edits)
            i = draw(st.integers(0, max(len(name) - 1, 0)))
            ch = draw(st.sampled_from("abceilmnoprstxyz_AZ0\u00e9"))
            if not name:
                name = [ch]
            elif edit == "drop":
                del name[i]
            elif edit == "dup":
                name.insert(i, name[i])
            elif edit == "swap" and i + 1 < len(name):
                name[i], name[i + 1] = name[i + 1], name[i]
            elif edit == "case":
                name[i] = name[i].swapcase()
            elif edit == "insert":
                name.insert(i, ch)
            elif edit == "replace":
                name[i] = ch
        return "".join(name)

    return mutate() | st.text(min_size=1, max_size=50)


@settings(max_examples=300)
@given(name=st.sampled_from(FUNCTION_NAMES), keyword=_mutated_names())
def test_unexpected_keyword_messages_match_python_functions(name, keyword):
    params = inspect.signature(PYTHON_TWINS[name]).parameters
    assume(keyword not in params and keyword.isidentifier())
    args = [object()] * sum(p.default is inspect.Parameter.empty for p in params.values())
    assert module_binding_error(name, *args, **{keyword: 1}) == python_binding_error(
        name, *args, **{keyword: 1}
    )


# ---------------------------------------------------------------------------
# Binding: every parameter can be given by keyword
# ---------------------------------------------------------------------------



@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_every_parameter_can_be_passed_by_keyword(name):
    func = getattr(velmora_core, name)
    kwargs = valid_arguments(name)
    positional = [kwargs[p] for p in PARAMETERS[name]]
    by_position = call_past_conversion(func, *positional)
    by_keyword = call_past_conversion(func, **kwargs)
    reversed_keywords = call_past_conversion(func, **dict(reversed(list(kwargs.items()))))
    assert by_position == by_keyword == reversed_keywords
    for split in range(len(positional) + 1):
        rest = {p: kwargs[p] for p in PARAMETERS[name][split:]}
        assert call_past_conversion(func, *positional[:split], **rest) == by_position


@pytest.mark.parametrize("name", ["run_velmora_engine", "embed_with_details"])
def test_pipelines_accept_only_the_two_required_arguments(name):
    func = getattr(velmora_core, name)
    outcome = call_past_conversion(func, flat_image(), 9)
    assert outcome in (None, (0, 9))
    outcome = call_past_conversion(func, image=flat_image(), payload_size=0)
    assert outcome in (None, (0, 0))


def test_quadtree_inspector_default_min_block_is_four():
    img = noise_image(20, 20, seed=5)
    assert velmora_core.get_quadtree_sparse_map(img) == velmora_core.get_quadtree_sparse_map(img, 4)
    assert velmora_core.get_quadtree_sparse_map(image=img) == velmora_core.get_quadtree_sparse_map(img, min_block=4)


@pytest.mark.parametrize(
    "name, param",
    [(n, p) for n, p in UNSIGNED_PARAMETERS if n != "dabc_select_coords" and p != "payload_size"],
)
def test_explicit_none_does_not_select_the_default(name, param):
    kwargs = valid_arguments(name)
    kwargs[param] = None
    with pytest.raises(TypeError) as info:
        getattr(velmora_core, name)(**kwargs)
    assert str(info.value) == f"argument '{param}': " + interpreter_index_error(None)


# ---------------------------------------------------------------------------
# Unsigned integer conversion
# ---------------------------------------------------------------------------


class IntSubclass(int):
    def __index__(self):  # never consulted: an int subclass converts by value
        raise AssertionError("__index__ of an int subclass was called")


ACCEPTED_UNSIGNED = [
    pytest.param(0, 0, id="zero"),
    pytest.param(1, 1, id="one"),
    pytest.param(True, 1, id="True"),
    pytest.param(False, 0, id="False"),
    pytest.param(np.int8(3), 3, id="np.int8"),
    pytest.param(np.uint16(7), 7, id="np.uint16"),
    pytest.param(np.int64(2**40), 2**40, id="np.int64"),
    pytest.param(np.uint64(2**64 - 1), 2**64 - 1, id="np.uint64-max"),
    pytest.param(Index(5), 5, id="__index__"),
    pytest.param(Index(2**64 - 1), 2**64 - 1, id="__index__-max"),
    pytest.param(IntSubclass(6), 6, id="int-subclass"),
    pytest.param(2**63, 2**63, id="2**63"),
    pytest.param(2**64 - 1, 2**64 - 1, id="2**64-1"),
]


@pytest.mark.parametrize("value, number", ACCEPTED_UNSIGNED)
@pytest.mark.parametrize("name, param", UNSIGNED_PARAMETERS)
def test_unsigned_parameter_accepts(name, param, value, number):
    kwargs = valid_arguments(name)
    kwargs[param] = value
    if name == "dabc_select_coords":
        # a caller pool no larger than payload_size, so the call stops at the size check
        payload = number if param == "payload_size" else kwargs["payload_size"]
        kwargs["pool"] = [(0, 0)] * min(payload, 3)
    outcome = call_past_conversion(getattr(velmora_core, name), **kwargs)
    if name == "get_quadtree_sparse_map":
        expected = velmora_core.get_quadtree_sparse_map(kwargs["image"], number)
        assert outcome == expected
    elif outcome is not None and param == "payload_size":
        assert outcome[1] == number


OVERFLOWING = [
    pytest.param(-1, -1, id="-1"),
    pytest.param(-(2**70), -(2**70), id="-2**70"),
    pytest.param(2**64, 2**64, id="2**64"),
    pytest.param(2**100, 2**100, id="2**100"),
    pytest.param(np.int64(-1), -1, id="np.int64(-1)"),
    pytest.param(Index(-5), -5, id="__index__(-5)"),
    pytest.param(Index(2**64), 2**64, id="__index__(2**64)"),
    pytest.param(IntSubclass(-3), -3, id="int-subclass(-3)"),
]


@pytest.mark.parametrize("value, number", OVERFLOWING)
@pytest.mark.parametrize("name, param", UNSIGNED_PARAMETERS)
def test_unsigned_parameter_out_of_range_is_the_interpreters_overflow(name, param, value, number):
    kwargs = valid_arguments(name)
    kwargs[param] = value
    with pytest.raises(OverflowError) as info:
        getattr(velmora_core, name)(**kwargs)
    assert type(info.value) is OverflowError
    message = str(info.value)
    assert "argument" not in message
    assert param not in message
    assert message == interpreter_overflow_message(number)


NOT_INTEGERS = [
    pytest.param(4.0, id="float"),
    pytest.param(np.float64(2.0), id="np.float64"),
    pytest.param("3", id="str"),
    pytest.param(b"3", id="bytes"),
    pytest.param(None, id="None"),
    pytest.param(3 + 0j, id="complex"),
    pytest.param([3], id="list"),
    pytest.param(Index(3.0), id="__index__-returns-float"),
]


@pytest.mark.parametrize("value", NOT_INTEGERS)
@pytest.mark.parametrize("name, param", UNSIGNED_PARAMETERS)
def test_unsigned_parameter_non_integer_is_type_error_naming_it(name, param, value):
    kwargs = valid_arguments(name)
    kwargs[param] = value
    with pytest.raises(TypeError) as info:
        getattr(velmora_core, name)(**kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{param}': " + interpreter_index_error(value)


# ---------------------------------------------------------------------------
# How conversion errors are reworded
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("name, param", UNSIGNED_PARAMETERS)
def test_type_error_gets_the_argument_name_and_keeps_its_cause(name, param):
    outer, inner = type_error_with_cause("boom")
    kwargs = valid_arguments(name)
    kwargs[param] = Index(exc=outer)
    with pytest.raises(TypeError) as info:
        getattr(velmora_core, name)(**kwargs)
    raised = info.value
    assert type(raised) is TypeError
    assert raised is not outer
    assert str(raised) == f"argument '{param}': boom"
    assert raised.__cause__ is inner


def test_reworded_type_error_without_cause_has_none():
    img = noise_image(8, 8)
    with pytest.raises(TypeError) as info:
        velmora_core.get_quadtree_sparse_map(img, Index(exc=TypeError("plain")))
    assert str(info.value) == "argument 'min_block': plain"
    assert info.value.__cause__ is None


class MyTypeError(TypeError):
    pass


class MyError(Exception):
    pass


PASS_THROUGH = [
    pytest.param(lambda: MyTypeError("sub boom"), id="TypeError-subclass"),
    pytest.param(lambda: ValueError("value boom"), id="ValueError"),
    pytest.param(lambda: OverflowError("overflow boom"), id="OverflowError"),
    pytest.param(lambda: MyError("own boom"), id="custom-exception"),
    pytest.param(lambda: ZeroDivisionError("zero boom"), id="ZeroDivisionError"),
]


@pytest.mark.parametrize("make_exc", PASS_THROUGH)
@pytest.mark.parametrize("name, param", UNSIGNED_PARAMETERS)
def test_other_exceptions_from_index_pass_unchanged(name, param, make_exc):
    exc = make_exc()
    kwargs = valid_arguments(name)
    kwargs[param] = Index(exc=exc)
    with pytest.raises(type(exc)) as info:
        getattr(velmora_core, name)(**kwargs)
    assert info.value is exc
    assert "argument" not in str(info.value)


# ---------------------------------------------------------------------------
# Conversion order
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, position",
    [(n, i) for n in FUNCTION_NAMES for i in range(len(PARAMETERS[n]))],
)
def test_first_bad_parameter_in_declaration_order_is_reported(name, position):
    params = PARAMETERS[name]
    kwargs = valid_arguments(name)
    later = []
    for i, param in enumerate(params):
        if i >= position:
            if param in ("image", "pool"):
                kwargs[param] = None
            else:
                kwargs[param] = Index(exc=TypeError(f"bad {param}"))
                if i > position:
                    later.append(kwargs[param])
    # keywords passed in reverse order: the declaration order decides
    reversed_kwargs = dict(reversed(list(kwargs.items())))
    with pytest.raises(TypeError) as info:
        getattr(velmora_core, name)(**reversed_kwargs)
    assert str(info.value).startswith(f"argument '{params[position]}': ")
    assert all(index.calls == 0 for index in later)


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_bad_image_is_reported_before_bad_integers(name):
    kwargs = valid_arguments(name)
    kwargs["image"] = [[1, 2], [3, 4]]
    probes = {}
    for param in PARAMETERS[name][1:]:
        if param != "pool":
            probes[param] = kwargs[param] = Index(exc=OverflowError("should not be reached"))
    with pytest.raises(TypeError) as info:
        getattr(velmora_core, name)(**kwargs)
    assert str(info.value).startswith("argument 'image': ")
    assert all(p.calls == 0 for p in probes.values())


def test_overflow_before_type_error_is_reported_as_overflow():
    kwargs = valid_arguments("run_velmora_engine")
    kwargs["payload_size"] = -1
    kwargs["max_iter"] = None
    with pytest.raises(OverflowError):
        velmora_core.run_velmora_engine(**kwargs)


def test_type_error_before_overflow_is_reported_as_type_error():
    kwargs = valid_arguments("run_velmora_engine")
    kwargs["colony_size"] = 1.5
    kwargs["min_block"] = -1
    with pytest.raises(TypeError) as info:
        velmora_core.run_velmora_engine(**kwargs)
    assert str(info.value).startswith("argument 'colony_size': ")


def test_selector_reports_a_bad_seed_before_the_pool_size_check():
    # Empty pool with payload_size 0 would fail the pool-size check, but all
    # conversions come first.
    img = flat_image()
    with pytest.raises(OverflowError):
        velmora_core.dabc_select_coords(img, [], 0, 4, 2, -1)
    with pytest.raises(TypeError) as info:
        velmora_core.dabc_select_coords(img, [], 0, 4, 2, "seed")
    assert str(info.value).startswith("argument 'seed': ")


def test_selector_reports_a_bad_pool_before_bad_integers():
    img = flat_image()
    probe = Index(exc=TypeError("not reached"))
    with pytest.raises(ValueError) as info:
        velmora_core.dabc_select_coords(img, [(1, 2, 3)], probe, probe, probe, probe)
    assert str(info.value) == "expected tuple of length 2, but got tuple of length 3"
    assert probe.calls == 0


def test_selector_accepts_the_largest_seed():
    outcome = call_past_conversion(
        velmora_core.dabc_select_coords, flat_image(), [(0, 0)], 1, 4, 2, 2**64 - 1
    )
    assert outcome in (None, (1, 1))
