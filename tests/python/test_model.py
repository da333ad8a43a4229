"""The model side from Python: ModelConfig, load_model_config, Modelwire.chat against the
scripted server, and a Python object with a chat method standing in for the model."""
import json
import threading
import time

import pytest

import droidlens
from conftest import completion, example, text_answer, tool_answer

SHOT = example("settings_before.png")


def test_model_config_defaults_checks_and_repr():
    c = droidlens.ModelConfig("http://user:pw-9@h/v1", "sk-secret-1234", "m")
    assert (c.temperature, c.max_tokens, c.timeout, c.connect_timeout, c.max_retries) == (0.1, 4096, 120.0, 10.0, 2)
    assert repr(c).startswith("ModelConfig(base_url='http://***@h/v1', api_key='***', model='m'")
    assert "sk-secret" not in repr(c) and "pw-9" not in repr(c)
    c.temperature = 0
    assert c.temperature == 0.0
    with pytest.raises(droidlens.ValueError, match=r"^Invalid temperature: must be a number from 0 to 2$"):
        c.temperature = -1
    assert c.temperature == 0.0  # a rejected value changes nothing
    with pytest.raises(droidlens.TypeError, match=r"^Argument 'max_tokens' has incorrect type \(expected int, got str\)$"):
        droidlens.ModelConfig("u", "k", "m", max_tokens="many")
    with pytest.raises(droidlens.ValueError, match=r"^Invalid timeout: must be a number of seconds > 0$"):
        droidlens.ModelConfig("u", "k", "m", timeout=0)


def test_load_model_config_takes_keywords_over_the_environment_over_the_file(tmp_path, monkeypatch):
    path = tmp_path / "model.json"
    path.write_text(json.dumps({"base_url": "http://file/v1", "model": "file-model", "max_tokens": 100}))
    monkeypatch.setenv("DROIDLENS_MODEL", "env-model")
    c = droidlens.load_model_config(config_file=path, max_tokens=7, base_url=None)  # None: not given
    assert (c.base_url, c.model, c.max_tokens) == ("http://file/v1", "env-model", 7)
    with pytest.raises(droidlens.TypeError, match=r"^load_model_config\(\) got an unexpected keyword argument 'url'$"):
        droidlens.load_model_config(url="x")
    with pytest.raises(droidlens.OSError):
        droidlens.load_model_config(config_file=str(tmp_path / "absent.json"))


def test_the_answer_cache_from_python(model_server, tmp_path, monkeypatch):
    monkeypatch.setenv("DROIDLENS_CACHE", str(tmp_path / "env-cache"))
    c = droidlens.load_model_config(base_url="http://h/v1", model="m", cache_mode="record")
    assert (c.cache, c.cache_mode, c.cache_max_mb) == (str(tmp_path / "env-cache"), "record", 0)
    with pytest.raises(droidlens.ValueError, match=r"^Invalid cache_mode: 'always' \(expected use, record or replay\)$"):
        c.cache_mode = "always"
    server = model_server([text_answer("hello")])
    config = droidlens.ModelConfig(server.base_url, "k", "m", max_retries=0)
    config.cache = str(tmp_path / "answers")
    messages = [{"role": "user", "content": "hi"}]
    assert droidlens.Modelwire(config).chat(messages)["choices"][0]["message"]["content"] == "hello"
    config.cache_mode = "replay"
    assert droidlens.Modelwire(config).chat(messages)["choices"][0]["message"]["content"] == "hello"
    assert len(server.requests()) == 1
    with pytest.raises(droidlens.ModelServiceError, match=r"^No cached answer for the request to model 'm'"):
        droidlens.Modelwire(config).chat([{"role": "user", "content": "bye"}])


def test_modelwire_chat_round_trip(model_server):
    server = model_server([text_answer("hello"), {"status": 500, "body": {"error": {"message": "down"}}}])
    wire = droidlens.Modelwire(droidlens.ModelConfig(server.base_url, "k", "m", max_tokens=50, max_retries=0))
    reply = wire.chat([{"role": "user", "content": "hi"}], temperature=1)
    assert reply["choices"][0]["message"]["content"] == "hello"
    assert list(reply) == ["id", "object", "created", "model", "choices"]
    body = server.requests()[0]
    assert (body["model"], body["temperature"], body["max_tokens"], body["tools"]) == ("m", 1.0, 50, None)
    wire.settings.model = "other"  # read again on every call
    with pytest.raises(droidlens.ModelServiceError):
        wire.chat(({"role": "user", "content": "again"},))
    assert server.requests()[1]["model"] == "other"
    with pytest.raises(droidlens.TypeError, match=r"^Argument 'messages' has incorrect type \(expected list, got dict\)$"):
        wire.chat({"role": "user"})
    with pytest.raises(droidlens.TypeError, match=r"^Argument 'messages' has incorrect type \(expected list, got set\)$"):
        wire.chat({1})
    with pytest.raises(droidlens.TypeError, match=r"^Object of type bytes is not JSON serializable$"):
        wire.chat([{"role": "user", "content": b"raw"}])
    loop = []
    loop.append(loop)
    with pytest.raises(RecursionError):
        wire.chat(loop)
    assert len(server.requests()) == 2


class RecordedModel:
    """A stand-in model: answers from a list and keeps what it was asked."""

    def __init__(self, *answers):
        self.answers = list(answers)
        self.calls = []

    def chat(self, messages, tools=None, tool_choice=None, temperature=None, max_tokens=None):
        self.calls.append({"messages": messages, "tools": tools, "tool_choice": tool_choice,
                           "temperature": temperature, "max_tokens": max_tokens,
                           "thread": threading.current_thread()})
        answer = self.answers.pop(0)
        if isinstance(answer, BaseException):
            raise answer
        return answer


def test_a_python_chat_object_answers_every_request(adb, tmp_path):
    model = RecordedModel(tool_answer("return_target", {"label": "OK", "bounding_box": [10, 20, 30, 40],
                                                        "confidence": 0.7, "page": 1}),
                          text_answer('do(action="Home")'), text_answer('finish(message="fine")'))
    record = droidlens.route(model, "locate", "the OK button", [SHOT], output_dir=str(tmp_path))
    assert record["label"] == "OK" and record["bounding_box"] == [10, 20, 30, 40]
    first = model.calls[0]
    assert first["tool_choice"] == {"type": "function", "function": {"name": "return_target"}}
    assert first["temperature"] == 0.1 and first["max_tokens"] is None
    assert first["messages"][2]["content"][1]["image_url"]["url"].startswith("data:image/png;base64,")
    assert first["thread"] is not threading.main_thread()  # the mode ran off the calling thread
    record = droidlens.route(model, "automate", "go home", output_dir=str(tmp_path), lang="en")
    assert record == {"mode": "automate", "status": "finished", "message": "fine", "steps": 2}
    assert len(model.calls[2]["messages"]) == 4  # the runner's conversation grew by a turn


def test_what_a_python_chat_raises_reaches_the_caller_unchanged(tmp_path):
    problem = ConnectionError("my client is offline")
    with pytest.raises(ConnectionError) as info:
        droidlens.route(RecordedModel(problem), "locate", "x", [SHOT], output_dir=str(tmp_path))
    assert info.value is problem
    with pytest.raises(droidlens.TypeError, match=r"^Expected dict, got NoneType$"):
        droidlens.route(RecordedModel(None), "locate", "x", [SHOT], output_dir=str(tmp_path))
    empty = completion({})
    empty["choices"] = []
    with pytest.raises(droidlens.ValueError, match=r"^Empty LLM response$"):
        droidlens.route(RecordedModel(empty), "ocr", "x", [SHOT])

    class Logged(droidlens.Modelwire):  # a subclass's own chat() is the one called
        def chat(self, messages, **options):
            return tool_answer("return_texts", {"items": [{"text": "subclass"}]})

    assert droidlens.route(Logged(droidlens.ModelConfig("http://127.0.0.1:9/v1", None, "m")), "ocr", "x",
                           [SHOT])["text"] == "subclass"

    class Pydantic:  # responses of client libraries that offer model_dump()
        def model_dump(self):
            return tool_answer("return_texts", {"items": [{"text": "Wi-Fi"}]})

    assert droidlens.route(RecordedModel(Pydantic()), "ocr", "x", [SHOT])["text"] == "Wi-Fi"


def test_the_interpreter_lock_is_released_while_a_mode_runs(model_server, tmp_path):
    server = model_server([{"delay_ms": 600, "body": tool_answer("return_texts", {"items": [{"text": "a"}]})}])
    wire = droidlens.Modelwire(droidlens.ModelConfig(server.base_url, "k", "m", max_retries=0))
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.001)

    t = threading.Thread(target=tick)
    t.start()
    try:
        started = time.monotonic()
        record = droidlens.route(wire, "ocr", "x", [SHOT])
        elapsed = time.monotonic() - started
    finally:
        stop.set()
        t.join()
    assert record["text"] == "a"
    assert elapsed >= 0.5
    assert len(ticks) > 50  # another thread ran all along (about 500 ticks; with the lock held, none)


def test_a_request_keeps_the_settings_it_started_with(model_server):
    server = model_server([{"delay_ms": 1500, "body": text_answer("a")}, text_answer("b")])
    wire = droidlens.Modelwire(droidlens.ModelConfig(server.base_url, "k", "first", max_retries=0))
    message = [{"role": "user", "content": [{"type": "text", "text": "x"}]}]
    answers = []
    t = threading.Thread(target=lambda: answers.append(wire.chat(message)))
    t.start()
    deadline = time.monotonic() + 30
    while not server.requests() and time.monotonic() < deadline:  # the first request is under way
        time.sleep(0.01)
    for i in range(500):  # changed over and over while it runs
        wire.settings.model = f"m{i}"
    wire.settings.model = "second"
    wire.settings.temperature = 0.5  # a temperature the user sets applies to every request
    t.join()
    wire.chat(message, temperature=0.0)
    bodies = server.requests()
    assert [b["model"] for b in bodies] == ["first", "second"]
    assert bodies[1]["temperature"] == 0.5
    assert len(answers) == 1


def test_doctor_finds_the_frame_of_a_model_that_answers_pixels(model_server):
    # The probe's red button is at x 540-720, y 960-1120 of a 900 x 1600 screen.
    server = model_server([tool_answer("return_target", {"label": "OK", "bounding_box": [540, 960, 720, 1120]})])
    findings = droidlens.doctor(droidlens.ModelConfig(server.base_url, None, "m", max_retries=0))
    assert findings["status"] == 0
    assert findings["profile"] == {"tool_choice": "named", "coordinates": "pixels"}
    assert [c["check"] for c in findings["checks"]] == ["reachable", "key", "model", "images and tools", "coordinates"]
    assert all(c["ok"] for c in findings["checks"])
