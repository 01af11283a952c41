"""The page's board loop against the emulator, in this process: outputs the
pages ask for while the board streams."""

import json
import time

import arduinodrv
from arduinodrv.web.sampler import OutputRequest, Sampler
from conftest import sim_options, start_boardsim, stop_boardsim


def test_an_output_set_while_streaming_keeps_the_stream(board_library, tmp_path):
    link, log = tmp_path / "ttyUSB8", tmp_path / "traffic.log"
    sim = start_boardsim(link, *sim_options(log))
    sampler = Sampler(lambda: arduinodrv.Board(link, start=1.2, library=board_library), str(link))
    rounds = []
    sampler.publish = rounds.append
    sampler.set_pace(stream_hz=100)
    sampler.start()
    try:
        deadline = time.monotonic() + 15
        while not any(b'"stream":[[' in message for message in rounds):
            assert time.monotonic() < deadline, "no stream came"
            time.sleep(0.05)
        outputs = [OutputRequest("sa", 1, 10), OutputRequest("sa", 1, 11), OutputRequest("sb", 2, 1)]
        for request in outputs:
            assert sampler.request_output(request, 5) and request.error == ""
        assert [request.readback for request in outputs] == [10, 11, 1]
        count = len(rounds)
        while len(rounds) < count + 3:  # the stream goes on after them
            assert time.monotonic() < deadline + 5
            time.sleep(0.05)
        assert json.loads(rounds[-1][len(b"data: "):])["stream"]
    finally:
        sampler.stop()
        stop_boardsim(sim)
    traffic = log.read_text(errors="replace")
    assert traffic.count(" XS") == 1, traffic  # one start: never stopped for an output
