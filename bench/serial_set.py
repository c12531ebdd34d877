# The station's hand-written alternative to the tool, on pyserial: open the port, then per
# channel write the frame and wait for the meter's answer, 5 s at most. bench-cli and
# bench-python time it beside dravik-cli and the dravik package on the same simulated meter.
#
# usage: python3 serial_set.py PORT FRAME_HEX...      exit 1 when a frame got no answer
import sys, serial
port = serial.Serial(sys.argv[1], 19200, bytesize=8, parity="N", stopbits=1, timeout=5)
for frame in sys.argv[2:]:
    port.reset_input_buffer()
    port.write(bytes.fromhex(frame))
    if len(port.read(1)) != 1:
        sys.exit(1)
port.close()
