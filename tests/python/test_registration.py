"""What the module registers: names, order, signatures and class traits."""

import re

import pytest

import _qor_native
from _qor_native import Node, QORModel

NDARRAY_2D = "ndarray[dtype=float64, shape=(*, *), order='C', device='cpu', writable=False]"
NDARRAY_1D = "ndarray[dtype=float64, shape=(*), order='C', device='cpu', writable=False]"
SEQ = "@collections.abc.Sequence@list@"

NODE_PROPERTIES = [
    ("is_leaf", "({%}) -> bool"),
    ("indices", f"({{%}}) -> {SEQ}[int]"),
    ("split_feature", "({%}) -> int"),
    ("split_threshold", "({%}) -> float"),
    ("value", "({%}) -> float"),
    ("class_counts", f"({{%}}) -> {SEQ}[float]"),
    ("left", "({%}) -> %"),
    ("right", "({%}) -> %"),
]
MODEL_METHODS = [
    ("fit", f"({{%}}, {{{NDARRAY_2D}}}, {{{NDARRAY_1D}}}) -> None", ["self", "X", "y"]),
    ("predict", f"({{%}}, {{{NDARRAY_2D}}}) -> {SEQ}[float]", ["self", "X"]),
    ("predict_proba", f"({{%}}, {{{NDARRAY_2D}}}) -> {SEQ}[{SEQ}[float]]", ["self", "X"]),
]
MODEL_PROPERTIES = [
    ("classes_", f"({{%}}) -> {SEQ}[float]"),
    ("n_classes_", "({%}) -> int"),
    ("depth_features_", "({%}) -> dict"),
    ("root", "({%}) -> %"),
]
CONSTRUCTOR_ARGS = ["task", "criterion", "max_depth", "min_samples_split", "min_samples_leaf"]
CONSTRUCTOR = "({object}, {str}, {str}, {int}, {int}, {int})"


def render(name, descriptor, params, result_class="Node", is_method=True):
    """The signature nanobind prints for a descriptor: a method's first parameter
    shows as plain `self`, `%` as the bound class, and `@arg@result@` as the
    argument-side name before the arrow and the result-side name after it."""
    head, result = descriptor.split(" -> ")
    types = re.findall(r"\{([^{}]*)\}", head)
    assert len(types) == len(params), descriptor
    rendered = []
    for i, (param, typ) in enumerate(zip(params, types)):
        rendered.append("self" if is_method and i == 0 else f"{param}: {typ}")
    arg_side = re.sub(r"@([^@]*)@([^@]*)@", r"\1", ", ".join(rendered))
    result = re.sub(r"@([^@]*)@([^@]*)@", r"\2", result)
    result = result.replace("%", f"_qor_native.{result_class}")
    return f"def {name}({arg_side}) -> {result}"


def signatures(obj):
    func = obj.fget if isinstance(obj, property) else obj
    return [entry[0] for entry in func.__nb_signature__]


def test_module_holds_exactly_the_two_classes():
    public = sorted(n for n in vars(_qor_native) if not n.startswith("__"))
    assert public == ["Node", "QORModel"]
    assert Node.__module__ == QORModel.__module__ == "_qor_native"
    assert _qor_native.__doc__ is None


@pytest.mark.parametrize("cls, members", [
    (Node, [p for p, _ in NODE_PROPERTIES]),
    (QORModel, [m for m, _, _ in MODEL_METHODS] + [p for p, _ in MODEL_PROPERTIES]),
])
def test_members_are_registered_in_order(cls, members):
    own = [n for n in vars(cls) if n not in ("__new__", "__init__", "__doc__", "__module__")]
    assert own == members


@pytest.mark.parametrize("cls, name, descriptor", [
    *[(Node, n, d) for n, d in NODE_PROPERTIES],
    *[(QORModel, n, d) for n, d in MODEL_PROPERTIES],
])
def test_properties_are_read_only_with_their_signature(cls, name, descriptor):
    prop = vars(cls)[name]
    assert isinstance(prop, property) and prop.fset is None
    result_class = "Node" if name in ("left", "right", "root") else None
    assert signatures(prop) == [render("", descriptor, ["self"], result_class)]


@pytest.mark.parametrize("name, descriptor, params", MODEL_METHODS)
def test_methods_have_their_signature(name, descriptor, params):
    assert signatures(vars(QORModel)[name]) == [render(name, descriptor, params)]


def test_constructor_protocol():
    new = signatures(vars(QORModel)["__new__"])
    assert new == [
        "def __new__(arg: object, /) -> object",
        render("__new__", CONSTRUCTOR + " -> %", ["cls", *CONSTRUCTOR_ARGS],
               result_class="QORModel", is_method=False),
    ]
    assert signatures(vars(QORModel)["__init__"]) == [
        render("__init__", CONSTRUCTOR + " -> None", ["self", *CONSTRUCTOR_ARGS])]


@pytest.mark.parametrize("cls", [Node, QORModel])
def test_instances_take_no_new_attributes_and_no_weak_references(cls):
    import weakref

    obj = QORModel("classification", "gini", 1, 2, 1)
    if cls is Node:
        import numpy as np
        obj.fit(np.zeros((1, 1)), np.zeros(1))
        obj = obj.root
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(TypeError, match="weak reference"):
        weakref.ref(obj)


def test_node_has_no_constructor():
    with pytest.raises(TypeError):
        Node()


@pytest.mark.parametrize("target, name", [("model", "root"), ("node", "value"),
                                          ("node", "left"), ("model", "classes_")])
def test_properties_cannot_be_assigned(target, name):
    import numpy as np

    model = QORModel("classification", "gini", 1, 2, 1)
    model.fit(np.zeros((1, 1)), np.zeros(1))
    obj = model if target == "model" else model.root
    with pytest.raises(AttributeError):
        setattr(obj, name, None)
