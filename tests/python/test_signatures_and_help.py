"""What the REPL and an IDE see: every public callable of korvalite has a signature `inspect`
reads and a docstring written for users."""

import inspect

import korvalite
import korvalite.sim

# Words about how korvalite works inside, which a user's docstring has no use for.
INTERNAL_WORDS = ("mutex", "device record", "interpreter lock", "GIL", "nanobind", "shared_ptr")


def public_callables():
    """(qualified name, callable) of every public class, method and function of the package."""
    found = []
    for module, names in ((korvalite, korvalite.__all__), (korvalite.sim, korvalite.sim.__all__)):
        for name in names:
            item = getattr(module, name)
            if not callable(item):
                continue
            found.append((f"{module.__name__}.{name}", item))
            if inspect.isclass(item) and not issubclass(item, BaseException):
                for attr, member in inspect.getmembers(item):
                    if not attr.startswith("_") and callable(member) and not inspect.isclass(member):
                        found.append((f"{module.__name__}.{name}.{attr}", member))
    return found


def test_every_public_callable_has_a_signature_and_a_users_docstring():
    # Classes only korvalite makes have no constructor to describe (`inspect` has none for them,
    # as for Python's own exceptions).
    made_by_korvalite = (korvalite.Frame, korvalite.Acquisition, korvalite.SnapshotSession, korvalite.FrameChannel,
                         korvalite.Event, korvalite.EventSubscription, korvalite.EnumEntryInfo, korvalite.FeatureInfo,
                         korvalite.PixelFormatInfo, korvalite.StreamStats, korvalite.LinkStats, korvalite.DeviceInfo,
                         korvalite.AccessMode, korvalite.FrameStatus)
    problems = []
    for name, item in public_callables():
        exception = inspect.isclass(item) and issubclass(item, BaseException)
        if item not in made_by_korvalite and not exception:
            try:
                inspect.signature(item)
            except (ValueError, TypeError) as e:
                problems.append(f"{name}: no signature ({e})")
        doc = inspect.getdoc(item) or ""
        if not doc.strip():
            problems.append(f"{name}: no docstring")
        problems += [f"{name}: docstring mentions {word!r}" for word in INTERNAL_WORDS if word in doc]
    assert problems == []
    assert len(public_callables()) > 100  # the walk reaches the methods


def test_signatures_name_parameters_defaults_and_types():
    cam = korvalite.Camera("127.0.0.1")
    cases = [
        (korvalite.Camera, "(ip: str, *, gvcp_timeout: float = 0.5, retries: int = 4, heartbeat_timeout: float = 3.0,"
                           " exclusive: bool = False, local_ip: str | None = None, packet_ring: bool | str = False)"),
        (cam.disconnect, "(deadline: float = 0.5) -> None"),
        (cam.load_features, "(path: 'Union[str, os.PathLike[str]]', strict: 'bool' = True, *,"
                            " streamable_only: 'bool' = True, progress: 'Optional[Callable[[int, int], None]]' = None)"
                            " -> 'List[LoadFailure]'"),
        (korvalite.Camera.get_integer, "(self, name: str) -> int"),
        (korvalite.discover, "(timeout: float = 1.0) -> list[korvalite._korvalite_core.DeviceInfo]"),
    ]
    assert [str(inspect.signature(fn)) for fn, _ in cases] == [text for _, text in cases]
    assert inspect.signature(cam.snap).parameters["packet_ring"].kind is inspect.Parameter.KEYWORD_ONLY


def test_package_exports_every_public_name_of_the_extension():
    from korvalite import _korvalite_core

    public = {name for name in vars(_korvalite_core) if not name.startswith("_")}
    assert set(korvalite.__all__) == public | {"CameraException", "GenicamException", "demosaic", "yuv422_to_rgb"}
    assert all(getattr(korvalite, name) is getattr(_korvalite_core, name) for name in public - {"Camera"})
    assert korvalite.Camera.__mro__[1] is _korvalite_core.Camera
