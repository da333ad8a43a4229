"""droidlens: let a vision language model read and operate Android screens."""
import builtins
import os
from typing import Any, Callable, Mapping, Optional, Protocol, Sequence, TypedDict, Union

__version__: str

_Path = Union[str, "os.PathLike[str]"]
_Message = dict[str, Any]
_Record = dict[str, Any]


class _ChatClient(Protocol):
    """Anything route() can use as its model: droidlens calls chat() for every request,
    on a worker thread, and reads the response as a chat-completions dict."""

    def chat(self, messages: list[_Message], tools: Optional[list[dict[str, Any]]] = None,
             tool_choice: Optional[dict[str, Any]] = None, temperature: Optional[float] = None,
             max_tokens: Optional[int] = None) -> Mapping[str, Any]: ...


class ModelConfig:
    """Where the chat-completions service is and which model to ask."""

    base_url: str
    api_key: str
    model: str
    temperature: float
    max_tokens: int
    timeout: float
    connect_timeout: float
    max_retries: int
    tool_choice: str
    coordinates: str
    max_image_side: int
    # The answer cache: its directory ("" for none), "use", "record" or "replay", and
    # its size limit in MiB (0: none).
    cache: str
    cache_mode: str
    cache_max_mb: int

    def __init__(self, base_url: str, api_key: Optional[str], model: str, temperature: Optional[float] = None,
                 max_tokens: int = 4096, timeout: float = 120.0, *, connect_timeout: float = 10.0,
                 max_retries: int = 2, tool_choice: str = "named", coordinates: str = "rel1000",
                 max_image_side: int = 0) -> None: ...


def doctor(config: ModelConfig) -> dict[str, Any]:
    """Asks the model service what it can do for droidlens: the checks, the profile to
    use (tool_choice, coordinates) or None, and a status (0, 4 or 5)."""


def load_model_config(*, base_url: Optional[str] = None, api_key: Optional[str] = None,
                      model: Optional[str] = None, temperature: Optional[float] = None,
                      max_tokens: Optional[int] = None, timeout: Optional[float] = None,
                      tool_choice: Optional[str] = None, coordinates: Optional[str] = None,
                      max_image_side: Optional[int] = None, cache: Optional[_Path] = None,
                      cache_mode: Optional[str] = None, cache_max_mb: Optional[int] = None,
                      config_file: Optional[_Path] = None) -> ModelConfig:
    """The arguments given, then the environment (DROIDLENS_*, OPENAI_BASE_URL,
    OPENAI_API_KEY), then the JSON file config_file, then the defaults."""


class CancelToken:
    """A handle that stops the route() calls it is given (cancel_token=...), and only those."""

    def __init__(self) -> None: ...
    def cancel(self) -> None:
        """Asks the runs holding this token to stop; each raises CancelledError."""
    @property
    def cancelled(self) -> bool: ...


class Modelwire:
    """The chat-completions client over HTTP(S)."""

    def __init__(self, config: ModelConfig) -> None: ...

    @property
    def settings(self) -> ModelConfig:
        """The configuration, read again on every call."""

    def chat(self, messages: list[_Message], tools: Optional[list[dict[str, Any]]] = None,
             tool_choice: Optional[dict[str, Any]] = None, temperature: Optional[float] = None,
             max_tokens: Optional[int] = None) -> dict[str, Any]:
        """Sends one chat-completions request; returns the service's response."""


def route(llm: Union[Modelwire, _ChatClient, None], mode: str, prompt: str,
          image_paths: Optional[list[_Path]] = None, device_id: Optional[str] = None,
          display_id: Optional[int] = None, output_dir: _Path = "outputs", max_steps: int = 10,
          lang: str = "cn", *, adb_server: Optional[str] = None, capture: str = "auto",
          mask: Union[str, list[str], None] = None, merge_gap: Optional[int] = None, max_boxes: Optional[int] = None, min_area: Optional[int] = None,
          fail_above: Optional[float] = None, timeout: Optional[float] = None, interval: Optional[float] = None,
          cancel_token: Optional[CancelToken] = None) -> Optional[_Record]:
    """Runs one mode ("displays", "diff", "nodepin", "locate", "ocr", "glyphpin",
    "action", "automate", "assert", "wait") and returns its record, keys in the
    record's order.

    adb_server names the adb server to use ("HOST:PORT"; default: the local one).
    capture says how screenshots are taken: "raw" (the device sends its pixels and
    the PNG is made here, the fastest), "png" (screencap -p) or "auto" (raw, then png
    for the rest of the run once the raw form is unusable).
    The other keyword-only arguments are the diff mode's (other modes refuse them): mask
    leaves areas out ("x1,y1,x2,y2" in 0-1000, "status-bar", "nav-bar"), merge_gap
    merges regions closer than that many pixels, max_boxes (0: all) and min_area
    limit them, and fail_above makes the record's "passed" False when diff_score is
    above it. With any of them the record also has "regions" and "resized".
    timeout (seconds, default 30) and interval (default 1) are the wait mode's.

    The interpreter lock is released while the mode runs, so threads may drive
    different devices at once. Ctrl-C stops this run alone (its adb children are
    killed, its model request aborted) and raises KeyboardInterrupt; cancel_token.cancel()
    from any thread stops the runs given that token, which raise CancelledError."""


class _ModeInfo(TypedDict):
    name: str
    needs_model: bool
    summary: str


def modes() -> list[_ModeInfo]:
    """Every mode, in the order route() tests the names."""


class _DeviceInfo(TypedDict):
    device_id: str
    status: str
    connection_type: str
    model: Optional[str]
    android_version: Optional[str]


def devices() -> list[_DeviceInfo]:
    """The devices adb sees, in its order; DeviceError when adb cannot list them."""


def cancel() -> None:
    """Asks every run in progress to stop; each raises CancelledError."""


def set_console(callback: Optional[Callable[[str], Any]]) -> Optional[Callable[[str], Any]]:
    """Console lines (automation progress, the device listing's error line) go to
    callback(line) instead of sys.stderr; None restores sys.stderr. Returns the
    callback replaced (None for sys.stderr)."""


class Error(Exception):
    """Base of every error droidlens raises; str(e) is the library's message."""


class ValueError(Error, builtins.ValueError): ...
class TypeError(Error, builtins.TypeError): ...
class RuntimeError(Error, builtins.RuntimeError): ...
class OSError(Error, builtins.OSError): ...
class ModelServiceError(RuntimeError): ...
class TimeoutError(RuntimeError, builtins.TimeoutError): ...
class CancelledError(RuntimeError): ...
class UsageError(ValueError): ...
class DeviceError(RuntimeError): ...
class ModelAnswerError(ValueError): ...
class ModelAnswerTypeError(TypeError, ModelAnswerError): ...
