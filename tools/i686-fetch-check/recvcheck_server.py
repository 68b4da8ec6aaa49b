# The sender for recvcheck: listens on 127.0.0.1 (port printed), and for every line "N" the
# client sends, sends the next N bytes of the stream in one write.
import socket, sys
srv = socket.socket()
srv.bind(("127.0.0.1", 0))
srv.listen(1)
print(srv.getsockname()[1], flush=True)
c, _ = srv.accept()
k = 0
pending = b""
while True:
    data = c.recv(100)
    if not data:
        break
    pending += data
    while b"\n" in pending:
        line, pending = pending.split(b"\n", 1)
        n = int(line)
        c.sendall(bytes(((i * 7 + i // 251) & 0xFF) for i in range(k, k + n)))
        k += n
