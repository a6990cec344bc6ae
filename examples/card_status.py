"""Show the cards and dies of the machine: temperature, power, memory,
utilisation and the processes using each die.

    python3 examples/card_status.py            # one table
    python3 examples/card_status.py --watch 2  # refresh every 2 seconds (Ctrl-C ends)
    python3 examples/card_status.py --count 3  # three tables, 2 seconds apart
    python3 examples/card_status.py --reset-shared  # clear the card's shared state

Installed with pip, the same program is the command `quillon-status`.

Every process on the platform shares the card's state, so the table shows
them all. It uses the public functions of the module's `kyml` submodule, and
the package's native helper for the channel numbers in use and the shared
state itself.
"""
import argparse
import datetime
import os
import pathlib
import sys
import time
from typing import Any, Dict, List, Optional, Sequence, Tuple

try:
    import _quillon_pybind11 as quillon
except ImportError:  # run from a source tree: use its build
    build = pathlib.Path(os.environ.get("QUILLON_BUILD_DIR",
                                        pathlib.Path(__file__).resolve().parents[1] / "build"))
    sys.path.insert(0, str(build / "python"))
    sys.path.insert(1, str(pathlib.Path(__file__).resolve().parents[1] / "python"))
    import _quillon_pybind11 as quillon

from quillon import _native  # noqa: E402

kyml = quillon.kyml

COLUMNS = ("Die", "Device", "Temp", "Power", "Memory used / total", "Mem", "AI", "VDSP", "Enc", "Dec", "Dec ch",
           "Enc ch", "Procs")
RIGHT = {"Temp", "Power", "Memory used / total", "Mem", "AI", "VDSP", "Enc", "Dec", "Dec ch", "Enc ch", "Procs"}


def mib(value: int) -> str:
    return f"{value / (1 << 20):.0f}"


def channels(state: Optional[Dict[str, Any]], kind: str) -> str:
    """Channel numbers of a kind in use on a die, the JPEG ones among them."""
    if state is None:
        return "-"
    count, jpeg = state[kind + "s"], state["jpeg_" + kind + "s"]
    return f"{count} ({jpeg} jpeg)" if jpeg else str(count)


def started(ticks: int) -> str:
    """A process's start time (clock ticks after boot) as a time of day."""
    try:
        with open("/proc/uptime") as uptime:
            up = float(uptime.read().split()[0])
    except OSError:
        return "?"
    moment = time.time() - up + ticks / os.sysconf("SC_CLK_TCK")
    return f"{datetime.datetime.fromtimestamp(moment):%H:%M:%S}"


def die_row(card_index: int, die_index: int, die: int, info: Any, processes: List[Any],
            state: Optional[Dict[str, Any]]) -> Dict[str, str]:
    temperature = kyml.temperature()
    kyml.getTemperature(die, temperature)
    power = kyml.power()
    kyml.getPower(die, power)
    memory = kyml.getMemUtilizationRate(die)
    rate = kyml.getUtilizationRate(die)
    return {
        "Die": f"{card_index}:{die_index}",
        "Device": info.kyccBaseInfo.name,
        "Temp": f"{max(temperature.temperature) / temperature.unit:.0f} C",
        "Power": f"{power.power[0] / power.unit:.1f} W",
        "Memory used / total": f"{mib(memory.used)} / {mib(memory.total)} MiB",
        "Mem": f"{memory.utilizationRate} %",
        "AI": f"{rate.ai} %",
        "VDSP": f"{rate.vdsp} %",
        "Enc": f"{rate.vemcu} %",
        "Dec": f"{rate.vdmcu} %",
        "Dec ch": channels(state, "decoder"),
        "Enc ch": channels(state, "encoder"),
        "Procs": str(len(processes)),
    }


def snapshot() -> List[str]:
    """The status as lines of text."""
    cards = kyml.getCardInfo([])
    card_state = _native.card_state()
    shared = (f"shared by every process ({card_state['name']})" if card_state
              else "this process only (QUILLON_SHARED_STATE=0 or the platform's shared_state)")
    lines = [f"kyml {kyml.getVersion()}   driver {kyml.getDriverSWVersion()}   "
             f"{len(cards)} card(s)   {datetime.datetime.now():%Y-%m-%d %H:%M:%S}", f"card state: {shared}"]
    die_states = card_state["dies"] if card_state else []
    starts = {user["pid"]: user["start_time"] for state in die_states for user in state["users"]}
    rows: List[Dict[str, str]] = []
    card_lines: Dict[int, str] = {}
    users: List[Tuple[str, Any]] = []
    for card_index, card in enumerate(cards):
        handle = kyml.getCardHandleByIndex(card_index)
        fan = kyml.fanSpeedInfo()
        kyml.getFanSpeedInfo(handle, fan)
        card_lines[len(rows)] = (f"Card {card_index}: {card.cardTypeName}  id {card.cardId}  "
                                 f"bus {card.pciInfo.busId}  uuid {card.uuid}  fan {fan.fanSpeedLevel} %")
        for die_index, info in enumerate(card.dieInfo):
            die = kyml.getDieHandleByIndex(handle, die_index)
            processes = kyml.getRunningProcesses(die, [])
            state = die_states[len(rows)] if len(rows) < len(die_states) else None
            rows.append(die_row(card_index, die_index, die, info, processes, state))
            users += [(f"{card_index}:{die_index}", p) for p in processes]

    widths = {c: max([len(c)] + [len(r[c]) for r in rows]) for c in COLUMNS}
    table_width = sum(widths.values()) + 3 * len(COLUMNS) + 1
    widest_card = max(len(text) for text in card_lines.values()) + 4 if card_lines else 0
    widths[COLUMNS[-1]] += max(0, widest_card - table_width)  # card lines fit inside the frame
    rule = "+" + "+".join("-" * (widths[c] + 2) for c in COLUMNS) + "+"

    def cells(values: Dict[str, str]) -> str:
        return "| " + " | ".join(values[c].rjust(widths[c]) if c in RIGHT else values[c].ljust(widths[c])
                                 for c in COLUMNS) + " |"

    lines += [rule, cells({c: c for c in COLUMNS}), rule.replace("-", "=")]
    for i, row in enumerate(rows):
        if i in card_lines:
            if i:
                lines.append(rule)
            lines.append("| " + card_lines[i].ljust(len(rule) - 4) + " |")
        lines.append(cells(row))
    lines.append(rule)

    lines.append("Processes:")
    if not users:
        lines.append("  none")
    else:
        lines.append(f"  {'Die':<6} {'PID':>8}  {'Name':<20} {'Memory':>10}  Started")
        for die_label, process in users:
            start = started(starts[process.pid]) if process.pid in starts else "-"
            lines.append(f"  {die_label:<6} {process.pid:>8}  {process.name:<20} {process.memused:>6} MiB  {start}")
    return lines


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="Status of the accelerator cards and their dies.")
    parser.add_argument("--watch", type=float, metavar="N", help="refresh every N seconds")
    parser.add_argument("--count", type=int, metavar="K",
                        help="stop after K tables (every 2 seconds unless --watch says otherwise)")
    parser.add_argument("--reset-shared", action="store_true",
                        help="remove the card's shared state (refused while a live process uses it)")
    args = parser.parse_args(argv)
    if args.reset_shared:
        try:
            print(_native.reset_shared_state())
        except (RuntimeError, ValueError) as error:
            print(f"quillon-status: {error}", file=sys.stderr)
            return 1
        return 0
    if args.watch is not None and args.watch <= 0:
        parser.error("--watch needs a positive number of seconds")
    if args.count is not None:
        if args.count <= 0:
            parser.error("--count needs a positive number of tables")
        if args.watch is None:
            args.watch = 2.0

    status = kyml.init()
    if status not in (kyml.opStatus.KYML_SUCCESS, kyml.opStatus.KYML_ERROR_INITIALIZED):
        raise SystemExit(f"cannot start the management library: {kyml.errorString(status)} "
                         "(a refused shared state is cleared by --reset-shared)")
    try:
        shown = 0
        while True:
            lines = snapshot()
            if args.watch is not None and sys.stdout.isatty():
                sys.stdout.write("\033[H\033[2J")
            print("\n".join(lines), flush=True)
            shown += 1
            if args.watch is None or (args.count is not None and shown >= args.count):
                break
            print()
            time.sleep(args.watch)
    except KeyboardInterrupt:
        pass
    except RuntimeError as error:  # the card's shared state refused meanwhile
        print(f"quillon-status: {error}", file=sys.stderr)
        return 1
    finally:
        if status == kyml.opStatus.KYML_SUCCESS:
            kyml.shutDown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
