"""Signatures ``inspect`` and ``help()`` can read for the extension's functions and methods.

A nanobind function describes its parameters only in ``__nb_signature__``, and its type takes no
new attributes, so ``inspect.signature`` fails on it. ``signed(fn)`` returns a plain function that
calls ``fn`` and carries the signature built from that description (``__signature__``), ``fn``'s
docstring and ``fn`` itself as ``__wrapped__``; ``sign_class`` puts such functions in place of a
bound class's public methods and gives the class the signature of its constructor.
"""

from __future__ import annotations

import ast
import builtins
import collections.abc
import inspect
import re
import typing
from typing import Any, Callable, Mapping

_PLACEHOLDER = re.compile(r"\\(\d+)")


class _DefaultText:
    """A default value the description gives only as text; shown as that text."""

    def __init__(self, text: str) -> None:
        self._text = text

    def __repr__(self) -> str:
        return self._text


def _evaluate(node: ast.expr, namespace: Mapping[str, Any]) -> Any:
    text = ast.unparse(node)
    try:
        return eval(text, {"__builtins__": builtins, **namespace})  # noqa: S307 - our own descriptions
    except Exception:  # noqa: BLE001 - a name Python cannot evaluate stays text
        return text


def _default(node: ast.expr, defaults: tuple[Any, ...], namespace: Mapping[str, Any]) -> Any:
    if isinstance(node, ast.Name) and node.id.startswith("_nb_default_"):
        return defaults[int(node.id.removeprefix("_nb_default_"))]
    try:
        return ast.literal_eval(node)
    except ValueError:
        value = _evaluate(node, namespace)
        return _DefaultText(value) if isinstance(value, str) else value


def signature_of(fn: Any, namespace: Mapping[str, Any]) -> inspect.Signature:
    """The signature of nanobind function `fn` (its first overload), annotations evaluated in
    `namespace` where they can be (else kept as text)."""
    text, _doc, defaults = fn.__nb_signature__[0]
    tree = ast.parse(_PLACEHOLDER.sub(r"_nb_default_\1", text) + ": ...")
    func = tree.body[0]
    assert isinstance(func, ast.FunctionDef)
    args = func.args
    defaults = tuple(defaults or ())
    kind = inspect.Parameter

    def annotation(node: ast.expr | None) -> Any:
        return inspect.Parameter.empty if node is None else _evaluate(node, namespace)

    params = []
    positional = args.posonlyargs + args.args
    first_default = len(positional) - len(args.defaults)
    for i, arg in enumerate(positional):
        default = (_default(args.defaults[i - first_default], defaults, namespace)
                   if i >= first_default else kind.empty)
        params.append(kind(arg.arg, kind.POSITIONAL_ONLY if arg in args.posonlyargs else kind.POSITIONAL_OR_KEYWORD,
                           default=default, annotation=annotation(arg.annotation)))
    if args.vararg:
        params.append(kind(args.vararg.arg, kind.VAR_POSITIONAL, annotation=annotation(args.vararg.annotation)))
    for arg, node in zip(args.kwonlyargs, args.kw_defaults):
        default = kind.empty if node is None else _default(node, defaults, namespace)
        params.append(kind(arg.arg, kind.KEYWORD_ONLY, default=default, annotation=annotation(arg.annotation)))
    if args.kwarg:
        params.append(kind(args.kwarg.arg, kind.VAR_KEYWORD, annotation=annotation(args.kwarg.annotation)))
    returns = inspect.Signature.empty if func.returns is None else _evaluate(func.returns, namespace)
    return inspect.Signature(params, return_annotation=returns)


def _is_nanobind(fn: Any) -> bool:
    return hasattr(fn, "__nb_signature__") and type(fn).__module__ == "nanobind"


def signed(fn: Any, namespace: Mapping[str, Any], qualname: str | None = None) -> Callable[..., Any]:
    """A plain function that calls nanobind function `fn`, with its signature, name and docstring."""

    def call(*args: Any, **kwargs: Any) -> Any:
        return fn(*args, **kwargs)

    call.__name__ = fn.__name__
    call.__qualname__ = qualname or fn.__qualname__
    call.__module__ = fn.__module__
    call.__doc__ = fn.__doc__
    call.__signature__ = signature_of(fn, namespace)  # type: ignore[attr-defined]
    call.__wrapped__ = fn  # type: ignore[attr-defined]
    return call


def sign_class(cls: type, namespace: Mapping[str, Any]) -> None:
    """Puts a signed function in place of each public nanobind method of `cls`, and gives `cls`
    the signature of its constructor (without `self`)."""
    for name, member in list(vars(cls).items()):
        if not name.startswith("_") and _is_nanobind(member):
            setattr(cls, name, signed(member, namespace, f"{cls.__name__}.{name}"))
    init = vars(cls).get("__init__")
    if _is_nanobind(init):
        params = list(signature_of(init, namespace).parameters.values())[1:]
        cls.__signature__ = inspect.Signature(params)  # type: ignore[attr-defined]


def sign_module(module: Any) -> None:
    """Signs every public class and function of extension `module` in place."""
    namespace = {"collections": collections, "typing": typing, **vars(module)}
    for name, item in list(vars(module).items()):
        if name.startswith("_"):
            continue
        if isinstance(item, type) and not issubclass(item, BaseException):
            sign_class(item, namespace)
        elif _is_nanobind(item):
            setattr(module, name, signed(item, namespace))
