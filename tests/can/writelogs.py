# Writes the same random frames with python-can's ASC, TRC 2.1, CSV and
# candump -l writers into the folder given, and the frames themselves into
# expected.txt: "id extended remote dlc data|- microseconds-from-the-first".
import logging, random, sys, can

logging.disable(logging.WARNING)  # the TRC writer warns once per remote frame it leaves out
out = sys.argv[1]
rnd = random.Random(29)
msgs = []
t = 1436509052.249713
for i in range(200):
    ext = rnd.random() < 0.3
    rtr = rnd.random() < 0.1
    aid = rnd.randrange(0x20000000) if ext else rnd.randrange(0x800)
    n = rnd.randrange(9)
    data = bytes(rnd.randrange(256) for _ in range(n))
    t += rnd.randrange(1, 5000) / 1e6
    msgs.append(can.Message(timestamp=t, arbitration_id=aid, is_extended_id=ext, is_remote_frame=rtr,
                            dlc=n, data=None if rtr else data, channel=0))
with open(out + "/expected.txt", "w") as f:
    for m in msgs:
        f.write("%x %d %d %d %s %d\n" % (m.arbitration_id, m.is_extended_id, m.is_remote_frame, m.dlc,
                                      m.data.hex() if not m.is_remote_frame else "-", round((m.timestamp - msgs[0].timestamp) * 1e6)))
for name, cls in (("py.asc", can.ASCWriter), ("py.trc", can.TRCWriter), ("py.csv", can.CSVWriter), ("py.log", can.CanutilsLogWriter)):
    w = cls(out + "/" + name)
    for m in msgs:
        w.on_message_received(m)
    w.stop()
