#!/usr/bin/env python3
"""Stand-in for the text-to-image web UI's HTTP API (tests and demo only).

Serves /sdapi/v1/txt2img, /sdapi/v1/progress and /sdapi/v1/skip in the shapes
the real API uses, renders a procedural PNG of the requested size, runs one
generation at a time and queues the rest. A control endpoint of its own
(/fakewebui/...) switches failures on and off and records every request.
See README.md beside this file.
"""

import argparse
import base64
import gzip
import hmac
import json
import math
import random
import socket
import struct
import sys
import threading
import time
import zlib
from datetime import datetime
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs

API = "/sdapi/v1/"
ENDPOINTS = ("txt2img", "progress", "skip")
FAULT_KINDS = ("error500", "undecodable", "no_images", "drop", "hang", "slow", "raw")

# Parameters of the text-to-image request with their defaults and types, as the
# real API's request model gives them (a subset; other keys are ignored).
TXT2IMG_FIELDS = {
    "prompt": ("", str),
    "negative_prompt": ("", str),
    "styles": (None, list),
    "seed": (-1, int),
    "subseed": (-1, int),
    "subseed_strength": (0, float),
    "seed_resize_from_h": (-1, int),
    "seed_resize_from_w": (-1, int),
    "sampler_name": (None, str),
    "batch_size": (1, int),
    "n_iter": (1, int),
    "steps": (50, int),
    "cfg_scale": (7.0, float),
    "width": (512, int),
    "height": (512, int),
    "restore_faces": (None, bool),
    "tiling": (None, bool),
    "do_not_save_samples": (False, bool),
    "do_not_save_grid": (False, bool),
    "eta": (None, float),
    "denoising_strength": (None, float),
    "enable_hr": (False, bool),
    "send_images": (True, bool),
    "save_images": (False, bool),
}

TYPE_ERRORS = {
    int: ("value is not a valid integer", "type_error.integer"),
    float: ("value is not a valid float", "type_error.float"),
    str: ("str type expected", "type_error.str"),
    bool: ("value could not be parsed to a boolean", "type_error.bool"),
    list: ("value is not a valid list", "type_error.list"),
}

MAX_SIDE = 4096
# The real server compresses answers of this size and more when the client accepts gzip.
GZIP_MINIMUM = 1000
# A preview (current_image) is made every this many sampling steps.
PREVIEW_EVERY = 10


class ValidationError(Exception):
    def __init__(self, detail):
        super().__init__("validation")
        self.detail = detail


def coerce(value, kind):
    """Coerces like the real API's model layer; raises ValueError when it cannot."""
    if value is None:
        return None
    if kind is int:
        if isinstance(value, bool):
            return int(value)
        if isinstance(value, int):
            return value
        if isinstance(value, float) and value.is_integer():
            return int(value)
        if isinstance(value, str):
            return int(value.strip())
        raise ValueError
    if kind is float:
        if isinstance(value, (int, float)) and not isinstance(value, bool):
            return float(value)
        if isinstance(value, str):
            return float(value.strip())
        raise ValueError
    if kind is str:
        if isinstance(value, str):
            return value
        raise ValueError
    if kind is bool:
        if isinstance(value, bool):
            return value
        if value in (0, 1):
            return bool(value)
        if isinstance(value, str) and value.lower() in ("true", "false", "yes", "no", "on", "off", "1", "0"):
            return value.lower() in ("true", "yes", "on", "1")
        raise ValueError
    if kind is list:
        if isinstance(value, list):
            return value
        raise ValueError
    return value


def parse_txt2img(body):
    try:
        data = json.loads(body.decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        raise ValidationError([{"loc": ["body", getattr(e, "pos", 0)], "msg": str(e),
                                "type": "value_error.jsondecode"}])
    if data == []:
        data = {}  # the real server takes an empty list as no parameters at all
    if not isinstance(data, dict):
        raise ValidationError([{"loc": ["body"], "msg": "value is not a valid dict", "type": "type_error.dict"}])
    params = {}
    errors = []
    for name, (default, kind) in TXT2IMG_FIELDS.items():
        if name not in data:
            params[name] = default
            continue
        try:
            params[name] = coerce(data[name], kind)
        except (ValueError, OverflowError):
            msg, typ = TYPE_ERRORS[kind]
            errors.append({"loc": ["body", name], "msg": msg, "type": typ})
    for name in ("width", "height", "steps", "batch_size", "n_iter"):
        if name in params and isinstance(params[name], int) and not any(e["loc"][1] == name for e in errors):
            if params[name] < 1 or (name in ("width", "height") and params[name] > MAX_SIDE):
                errors.append({"loc": ["body", name], "msg": "value out of range", "type": "value_error"})
    if errors:
        raise ValidationError(errors)
    return params


# ---------------------------------------------------------------- PNG output


def traceback_text(message):
    """A Python traceback whose last line is the only one naming RuntimeError."""
    return ("Traceback (most recent call last):\n"
            '  File "modules/call_queue.py", line 57, in f\n'
            "    res = list(func(*args, **kwargs))\n"
            f"RuntimeError: {message}\n")


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def encode_png(width, height, rows, text):
    out = [b"\x89PNG\r\n\x1a\n", png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))]
    try:
        out.append(png_chunk(b"tEXt", b"parameters\0" + text.encode("latin-1")))
    except UnicodeEncodeError:
        out.append(png_chunk(b"iTXt", b"parameters\0\0\0\0\0" + text.encode("utf-8")))
    raw = b"".join(b"\0" + row for row in rows)
    out.append(png_chunk(b"IDAT", zlib.compress(raw, 6)))
    out.append(png_chunk(b"IEND", b""))
    return b"".join(out)


def render_rows(width, height, prompt, seed, quality):
    """A procedural texture: interfering waves whose colours and frequencies
    come from the prompt and the seed; quality (0..1] fades in the detail."""
    rnd = random.Random(f"{prompt}\0{seed}")
    fx = [rnd.uniform(0.01, 0.08) for _ in range(3)]
    fy = [rnd.uniform(0.01, 0.08) for _ in range(3)]
    base = [rnd.randrange(40, 200) for _ in range(3)]
    amp = [int(rnd.randrange(20, 55) * quality) for _ in range(3)]
    cols = [[int(amp[c] * math.sin(x * fx[c])) for x in range(width)] for c in range(3)]
    rows = []
    for y in range(height):
        row = bytearray(width * 3)
        for c in range(3):
            shift = base[c] + int(amp[c] * math.cos(y * fy[c]))
            row[c::3] = bytes(min(255, max(0, shift + v)) for v in cols[c])
        rows.append(bytes(row))
    return rows


def render_png(params, seed, quality):
    rows = render_rows(params["width"], params["height"], params["prompt"], seed, quality)
    return encode_png(params["width"], params["height"], rows, infotext(params, seed))


def grid_png(pngs_rows, width, height, text):
    """All images in one grid, as the real server returns it first: rows of
    ceil(sqrt(n)) columns."""
    n = len(pngs_rows)
    cols = math.ceil(math.sqrt(n))
    lines = math.ceil(n / cols)
    blank = bytes(width * 3)
    rows = []
    for line in range(lines):
        for y in range(height):
            row = b""
            for col in range(cols):
                i = line * cols + col
                row += pngs_rows[i][y] if i < n else blank
            rows.append(row)
    return encode_png(width * cols, height * lines, rows, text)


def infotext(params, seed):
    parts = [f"Steps: {params['steps']}", f"Sampler: {params['sampler_name'] or 'Euler a'}",
             f"CFG scale: {params['cfg_scale']}", f"Seed: {seed}", f"Size: {params['width']}x{params['height']}"]
    text = params["prompt"]
    if params["negative_prompt"]:
        text += "\nNegative prompt: " + params["negative_prompt"]
    return text + "\n" + ", ".join(parts)


# --------------------------------------------------------------- the server


class State:
    def __init__(self, step_delay):
        self.lock = threading.Lock()
        self.turns = threading.Condition()  # one generation at a time, first come first served
        self.next_ticket = 0
        self.serving = 0
        self.model_ready = threading.Event()  # cleared while the model loads
        self.model_ready.set()
        self.step_delay = step_delay
        self.faults = {}  # endpoint -> fault dict
        self.log = []
        self.release = threading.Event()  # ends "hang" faults
        self.queued = 0
        self.job = None  # progress state of the running generation

    def take_ticket(self):
        with self.turns:
            ticket = self.next_ticket
            self.next_ticket += 1
            return ticket

    def wait_turn(self, ticket):
        with self.turns:
            self.turns.wait_for(lambda: self.serving == ticket)

    def leave_turn(self):
        with self.turns:
            self.serving += 1
            self.turns.notify_all()

    def take_fault(self, endpoint):
        with self.lock:
            fault = self.faults.get(endpoint)
            if not fault:
                return None
            if "count" in fault:
                fault["count"] -= 1
                if fault["count"] <= 0:
                    del self.faults[endpoint]
            return dict(fault)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def version_string(self):
        return "uvicorn"

    @property
    def state(self):
        return self.server.state

    def log_message(self, fmt, *args):
        if not self.server.quiet:
            sys.stderr.write("fakewebui: " + (fmt % args) + "\n")

    def send_json(self, status, value, reason=None):
        body = json.dumps(value).encode("utf-8")
        accepted = [e.split(";")[0].strip().lower() for e in (self.headers.get("accept-encoding") or "").split(",")]
        compressed = len(body) >= GZIP_MINIMUM and "gzip" in accepted
        if compressed:
            body = gzip.compress(body)
        self.send_response(status, reason)
        self.send_header("content-type", "application/json")
        if compressed:
            self.send_header("content-encoding", "gzip")
            self.send_header("vary", "Accept-Encoding")
        self.send_header("content-length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def send_raw(self, status, text):
        body = text.encode("utf-8")
        self.send_response(status)
        self.send_header("content-type", "application/json")
        self.send_header("content-length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def read_body(self):
        length = int(self.headers.get("content-length") or 0)
        return self.rfile.read(length) if length > 0 else b""

    def record(self, body):
        entry = {"method": self.command, "path": self.path, "content_type": self.headers.get("content-type"),
                 "authorization": self.headers.get("authorization"),
                 "accept_encoding": self.headers.get("accept-encoding"), "body": body.decode("utf-8", "replace"), "time": time.time()}
        with self.state.lock:
            self.state.log.append(entry)

    def do_GET(self):
        self.dispatch(b"")

    def do_POST(self):
        self.dispatch(self.read_body())

    def do_PUT(self):
        self.dispatch(self.read_body())

    def dispatch(self, body):
        path = self.path.split("?", 1)[0]
        if path.startswith("/fakewebui/"):
            return self.control(path[len("/fakewebui/"):], body)
        self.record(body)
        name = path[len(API):] if path.startswith(API) else None
        method = {"txt2img": "POST", "progress": "GET", "skip": "POST"}.get(name)
        if self.server.no_api:
            method = None  # started without its API: no /sdapi routes at all
        if method is None:
            return self.send_json(404, {"detail": "Not Found"})
        if method != self.command:
            return self.send_json(405, {"detail": "Method Not Allowed"})
        if not self.authorized():
            return
        fault = self.state.take_fault(name)
        if fault and not self.apply_fault(fault, name):
            return
        getattr(self, "api_" + name)(body, fault)

    def authorized(self):
        """With --api-auth, every API call needs HTTP Basic credentials; the
        401 answer has the API's error shape and no WWW-Authenticate header."""
        accounts = self.server.api_auth
        if not accounts:
            return True
        header = self.headers.get("authorization") or ""
        scheme, _, token = header.partition(" ")
        if scheme.lower() != "basic" or not token:
            detail = "Not authenticated"
        else:
            try:
                user, sep, password = base64.b64decode(token.strip(), validate=True).decode("utf-8").partition(":")
            except (ValueError, UnicodeDecodeError):
                user, sep, password = "", "", ""
            if not sep:
                detail = "Invalid authentication credentials"
            elif accounts.get(user) is not None and hmac.compare_digest(accounts[user], password):
                return True
            else:
                detail = "Incorrect username or password"
        self.send_json(401, {"error": "HTTPException", "detail": detail, "body": "",
                             "errors": f"401: {detail}"})
        return False

    def apply_fault(self, fault, name):
        """Carries out the connection-level part of a fault; False when the
        request is answered (or not) by the fault itself."""
        kind = fault["kind"]
        if kind == "slow":
            time.sleep(float(fault.get("seconds", 2)))
            return True
        if kind == "drop":
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return False
        if kind == "hang":
            self.state.release.wait()
            self.close_connection = True
            return False
        if kind == "error500":
            # As the real server, it prints the error with its traceback.
            if not self.server.quiet:
                sys.stderr.write(f"*** API error: {self.command}: http://{self.headers.get('host', '')}{self.path}\n"
                                 + traceback_text(f"fault switched on for {name}"))
                sys.stderr.flush()
            self.send_json(500, {"error": "RuntimeError", "detail": "", "body": "",
                                 "errors": f"fault switched on for {name}"})
            return False
        if kind == "raw":
            self.send_raw(int(fault.get("status", 200)), fault.get("body", ""))
            return False
        return True  # undecodable / no_images change the answer itself

    # ---- the API

    def api_progress(self, body, fault):
        query = parse_qs(self.path.partition("?")[2])
        skip_image = (query.get("skip_current_image") or ["false"])[-1].lower() in ("true", "1", "yes", "on")
        with self.state.lock:
            job = self.state.job
            if job is not None and not skip_image:
                self.update_preview(job)
            job = dict(job) if job else None
        if job is None or job["job_count"] == 0:
            return self.send_json(200, {
                "progress": 0.0, "eta_relative": 0.0,
                "state": {"skipped": False, "interrupted": False, "job": "", "job_count": 0,
                          "job_timestamp": "0", "job_no": 0, "sampling_step": 0, "sampling_steps": 0},
                "current_image": None, "textinfo": None})
        # The real formula: steps count from 0, so 1.0 shows only between the
        # last batch and the answer.
        steps, count = job["sampling_steps"], job["job_count"]
        done = 0.01 + job["job_no"] / count
        if steps > 0:
            done += job["sampling_step"] / steps / count
        done = min(done, 1.0)
        elapsed = time.time() - job["started"]
        eta = elapsed / done - elapsed
        self.send_json(200, {
            "progress": done, "eta_relative": eta,
            "state": {"skipped": job["skipped"], "interrupted": False, "job": job["job"], "job_count": count,
                      "job_timestamp": job["job_timestamp"], "job_no": job["job_no"],
                      "sampling_step": job["sampling_step"], "sampling_steps": steps},
            "current_image": None if skip_image else job["preview"], "textinfo": None})

    def update_preview(self, job):
        """Called under the state lock: a new preview every PREVIEW_EVERY steps,
        as the real server makes them when a poll asks for one."""
        if job["sampling_step"] - job["preview_step"] < PREVIEW_EVERY:
            return
        params = job["params"]
        png = render_png(params, job["seed"], max(0.05, job["sampling_step"] / job["sampling_steps"]))
        job["preview"] = base64.b64encode(png).decode("ascii")
        job["preview_step"] = job["sampling_step"]

    def api_skip(self, body, fault):
        with self.state.lock:
            if self.state.job:
                self.state.job["skipped"] = True
        self.send_json(200, None)

    def api_txt2img(self, body, fault):
        media = (self.headers.get("content-type") or "").split(";")[0].strip().lower()
        if media and media != "application/json" and not media.endswith("+json"):
            # The real server reads any other body as no JSON object at all.
            return self.send_json(422, {"detail": [{"loc": ["body"], "msg": "value is not a valid dict",
                                                    "type": "type_error.dict"}]})
        try:
            params = parse_txt2img(body)
        except ValidationError as e:
            return self.send_json(422, {"detail": e.detail})
        ticket = self.state.take_ticket()
        with self.state.lock:
            self.state.queued += 1
        try:
            self.state.wait_turn(ticket)
            try:
                self.state.model_ready.wait()  # a request waits while the model loads
                images, seeds = self.generate(params)
            finally:
                self.state.leave_turn()
        finally:
            with self.state.lock:
                self.state.queued -= 1
        kind = fault["kind"] if fault else None
        if kind == "undecodable":
            images = [base64.b64encode(b"this is not an image").decode("ascii") for _ in images]
        elif kind == "no_images":
            images = []
        if params["send_images"] is False:
            images = []
        info = {"prompt": params["prompt"], "all_prompts": [params["prompt"]] * len(seeds),
                "negative_prompt": params["negative_prompt"], "seed": seeds[0], "all_seeds": seeds,
                "width": params["width"], "height": params["height"], "steps": params["steps"],
                "cfg_scale": params["cfg_scale"], "sampler_name": params["sampler_name"] or "Euler a",
                "batch_size": params["batch_size"], "n_iter": params["n_iter"],
                "infotexts": [infotext(params, s) for s in seeds]}
        self.send_json(200, {"images": images, "parameters": params, "info": json.dumps(info)})

    def generate(self, params):
        seed = params["seed"]
        if seed is None or seed == -1:
            seed = random.randrange(2 ** 32)
        batch, n_iter, steps = params["batch_size"], params["n_iter"], params["steps"]
        with self.state.lock:
            self.state.job = {"job": "txt2img", "job_count": n_iter, "job_no": 0, "sampling_step": 0,
                              "sampling_steps": steps, "skipped": False, "started": time.time(),
                              "job_timestamp": datetime.now().strftime("%Y%m%d%H%M%S"),
                              "params": params, "seed": seed, "preview": None, "preview_step": 0}
        images, seeds, all_rows = [], [], []
        try:
            for it in range(n_iter):
                with self.state.lock:
                    self.state.job.update(job_no=it, sampling_step=0, skipped=False, preview_step=0)
                done_steps = steps
                for step in range(steps):
                    with self.state.lock:
                        if self.state.job["skipped"]:
                            done_steps = step
                            break
                        delay = self.state.step_delay
                        self.state.job["sampling_step"] = step
                    if delay > 0:
                        time.sleep(delay)
                for b in range(batch):
                    s = seed + it * batch + b
                    rows = render_rows(params["width"], params["height"], params["prompt"], s,
                                       max(0.05, done_steps / steps))
                    png = encode_png(params["width"], params["height"], rows, infotext(params, s))
                    images.append(base64.b64encode(png).decode("ascii"))
                    seeds.append(s)
                    all_rows.append(rows)
                with self.state.lock:  # the next job: 1.0 after the last one
                    self.state.job.update(job_no=it + 1, sampling_step=0, preview_step=0)
            if params["save_images"] is True and len(images) > 1:
                grid = grid_png(all_rows, params["width"], params["height"], infotext(params, seed))
                images.insert(0, base64.b64encode(grid).decode("ascii"))
        finally:
            with self.state.lock:
                self.state.job = None
        return images, seeds

    # ---- the control endpoint

    def control(self, what, body):
        st = self.state
        if what == "log" and self.command == "GET":
            with st.lock:
                return self.send_json(200, {"requests": list(st.log)})
        if what == "status" and self.command == "GET":
            with st.lock:
                return self.send_json(200, {"step_delay": st.step_delay, "faults": st.faults,
                                            "queued": st.queued, "running": st.job is not None,
                                            "model_loading": not st.model_ready.is_set()})
        if what == "control" and self.command == "POST":
            try:
                cmd = json.loads(body.decode("utf-8") or "{}")
                self.apply_control(cmd)
            except (ValueError, KeyError, TypeError) as e:
                return self.send_json(400, {"detail": f"bad control request: {e}"})
            return self.send_json(200, {"ok": True})
        return self.send_json(404, {"detail": "Not Found"})

    def apply_control(self, cmd):
        """Checks the whole request first, so a bad one changes nothing."""
        st = self.state
        if not isinstance(cmd, dict):
            raise TypeError("a JSON object is expected")
        delay = None
        if "step_delay" in cmd:
            delay = float(cmd["step_delay"])
            if delay < 0:
                raise ValueError("step_delay must not be negative")
        loading = cmd.get("model_loading")
        if loading is not None and not isinstance(loading, bool):
            raise TypeError("model_loading is true or false")
        faults = cmd.get("faults", [])
        if not isinstance(faults, list):
            raise TypeError("faults is a list")
        faults = [check_fault(dict(f)) if isinstance(f, dict) else check_fault(f) for f in faults]
        with st.lock:
            if cmd.get("clear_log"):
                st.log.clear()
            if cmd.get("clear_faults"):
                st.faults.clear()
                st.release.set()
                st.release = threading.Event()
            if delay is not None:
                st.step_delay = delay
            for fault in faults:
                st.faults[fault["endpoint"]] = fault
        if loading is True:
            st.model_ready.clear()
        elif loading is False:
            st.model_ready.set()


def check_fault(fault):
    if not isinstance(fault, dict):
        raise TypeError("a fault is a JSON object")
    if fault.get("endpoint") not in ENDPOINTS:
        raise ValueError(f"endpoint must be one of {', '.join(ENDPOINTS)}")
    if fault.get("kind") not in FAULT_KINDS:
        raise ValueError(f"kind must be one of {', '.join(FAULT_KINDS)}")
    if "count" in fault:
        fault["count"] = int(fault["count"])
        if fault["count"] < 1:
            raise ValueError("count must be at least 1")
    if "seconds" in fault and float(fault["seconds"]) < 0:
        raise ValueError("seconds must not be negative")
    return fault


def parse_fault_option(text):
    """endpoint:kind[:seconds] from the command line."""
    parts = text.split(":")
    if len(parts) < 2:
        raise argparse.ArgumentTypeError("expected endpoint:kind[:seconds]")
    fault = {"endpoint": parts[0], "kind": parts[1]}
    if len(parts) > 2:
        fault["seconds"] = float(parts[2])
    try:
        return check_fault(fault)
    except (ValueError, TypeError) as e:
        raise argparse.ArgumentTypeError(str(e))


def parse_api_auth(text):
    """user:password[,user:password...] as the real server takes it."""
    accounts = {}
    for pair in text.split(","):
        user, sep, password = pair.partition(":")
        if not sep or not user:
            raise argparse.ArgumentTypeError("expected user:password[,user:password...]")
        accounts[user] = password
    return accounts


def main():
    ap = argparse.ArgumentParser(description="Stand-in for the text-to-image web UI's HTTP API.")
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=7860)
    ap.add_argument("--step-delay", type=float, default=0.03, help="seconds per sampling step (default 0.03)")
    ap.add_argument("--fault", type=parse_fault_option, action="append", default=[],
                    help="endpoint:kind[:seconds], e.g. txt2img:error500 or progress:slow:2; repeatable")
    ap.add_argument("--quiet", action="store_true", help="no request log on stderr")
    ap.add_argument("--api-auth", type=parse_api_auth, default={},
                    help="user:password[,user:password...]: the API wants these HTTP Basic credentials")
    ap.add_argument("--load-seconds", type=float, default=0.0,
                    help="the model loads for this long after the start: txt2img waits, progress is idle")
    ap.add_argument("--startup-runtime-errors", type=int, default=0, metavar="N",
                    help="print N RuntimeError tracebacks on stderr before listening, as a troubled start does")
    ap.add_argument("--no-api", action="store_true",
                    help="serve as a web UI started without its API: every /sdapi/ path answers 404")
    args = ap.parse_args()
    if args.step_delay < 0:
        ap.error("--step-delay must not be negative")
    if args.load_seconds < 0:
        ap.error("--load-seconds must not be negative")
    for n in range(args.startup_runtime_errors):
        sys.stderr.write(traceback_text(f"start-up problem {n + 1}"))
    sys.stderr.flush()

    ThreadingHTTPServer.daemon_threads = True
    try:
        server = ThreadingHTTPServer((args.host, args.port), Handler)
    except OSError as e:
        sys.stderr.write(f"fakewebui: cannot listen on {args.host}:{args.port}: {e}\n")
        return 2
    server.state = State(args.step_delay)
    server.quiet = args.quiet
    server.api_auth = args.api_auth
    server.no_api = args.no_api
    for fault in args.fault:
        server.state.faults[fault["endpoint"]] = fault
    if args.load_seconds > 0:
        server.state.model_ready.clear()
        loaded = threading.Timer(args.load_seconds, server.state.model_ready.set)
        loaded.daemon = True
        loaded.start()
    print(f"fakewebui: serving on http://{args.host}:{server.server_address[1]}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.state.release.set()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
