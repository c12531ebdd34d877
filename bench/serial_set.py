# The station's hand-written alternative to the tool, on pyserial, doing on the line what the
# tool does: with --probe first the meter's identity probe (as dravik-cli sends one to the port
# it is given, on the open it then sets on), its 40-byte answer awaited 0.5 s at most; then per
# channel the frame and the meter's answer, 5 s at most, and the 10 ms the tool gives the line
# after an answer. bench-cli, bench-library and
# bench-python time it beside dravik-cli, the C library and the dravik package on the same
# simulated meter.
#
# usage: python3 serial_set.py [--probe] PORT FRAME_HEX...
#        exit 1 when the probe or a frame got no answer
import sys, time, serial
args = sys.argv[1:]
probe = args[:1] == ["--probe"]
if probe:
    args = args[1:]
port = serial.Serial(args[0], 19200, bytesize=8, parity="N", stopbits=1, timeout=5)
if probe:
    port.reset_input_buffer()
    port.write(bytes([0xAA, 0x30]) + bytes(38))
    port.timeout = 0.5
    if port.read(40)[15:19] != b"BOOT":
        sys.exit(1)
    port.timeout = 5
for frame in args[1:]:
    port.reset_input_buffer()
    port.write(bytes.fromhex(frame))
    if len(port.read(1)) != 1:
        sys.exit(1)
    time.sleep(0.01)
port.close()
