/* The read pattern libtorrent uses on Windows (through Boost.Asio's IOCP service), on plain
 * Winsock: an overlapped WSARecv into a buffer of N bytes; when it comes back full, FIONREAD,
 * then a non-overlapped WSARecv of what is available on the non-blocking socket. The sender
 * (recvcheck_server.py) sends byte k of the stream as (k * 7 + k / 251) & 0xff, each round's
 * block in one write; every byte received is checked against that.
 *   recvcheck HOST PORT ROUNDS */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>
#include <winsock2.h>

static unsigned char Expected(unsigned long k) {
  return (unsigned char)((k * 7 + k / 251) & 0xff);
}

int main(int argc, char** argv) {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, NULL, 0, WSA_FLAG_OVERLAPPED);
  struct sockaddr_in a = {0};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = inet_addr(argv[1]);
  a.sin_port = htons((u_short)atoi(argv[2]));
  if (connect(s, (struct sockaddr*)&a, sizeof a) != 0) {
    printf("connect %d\n", WSAGetLastError());
    return 2;
  }
  HANDLE port = CreateIoCompletionPort((HANDLE)s, NULL, 0, 0);
  CreateIoCompletionPort((HANDLE)s, port, 1, 0);
  u_long nonblocking = 1;
  ioctlsocket(s, FIONBIO, &nonblocking);
  const int rounds = atoi(argv[3]);
  unsigned long stream = 0;
  int bad = 0;
  static char buf[1 << 20];
  for (int r = 0; r < rounds; ++r) {
    /* ask for the next block: 100 + 37 * r bytes; the first read takes about four fifths */
    const int block = 100 + 37 * r;
    const int first = block * 4 / 5;
    char ask[16];
    int n = sprintf(ask, "%d\n", block);
    send(s, ask, n, 0);
    WSABUF wb = {(u_long)first, buf};
    DWORD got = 0, flags = 0;
    OVERLAPPED ov = {0};
    if (WSARecv(s, &wb, 1, NULL, &flags, &ov, NULL) != 0 && WSAGetLastError() != WSA_IO_PENDING) {
      printf("WSARecv %d\n", WSAGetLastError());
      return 2;
    }
    ULONG_PTR key;
    LPOVERLAPPED done;
    if (!GetQueuedCompletionStatus(port, &got, &key, &done, 10000)) {
      printf("round %d: no completion\n", r);
      return 2;
    }
    long total = (long)got;
    u_long available = 0;
    DWORD more = 0;
    if ((int)got == first) {
      /* let the rest arrive, as it has by the time libtorrent looks */
      Sleep(20);
      ioctlsocket(s, FIONREAD, &available);
      if (available > 0) {
        WSABUF wb2 = {available, buf + got};
        DWORD f2 = 0;
        if (WSARecv(s, &wb2, 1, &more, &f2, NULL, NULL) != 0)
          printf("sync WSARecv %d\n", WSAGetLastError());
        total += (long)more;
      }
    }
    /* whatever is still missing of the block, read plainly */
    while (total < block) {
      fd_set rs;
      FD_ZERO(&rs);
      FD_SET(s, &rs);
      select(0, &rs, NULL, NULL, NULL);
      int k = recv(s, buf + total, block - total, 0);
      if (k <= 0) break;
      total += k;
    }
    int mismatch = -1;
    for (long i = 0; i < total; ++i)
      if ((unsigned char)buf[i] != Expected(stream + (unsigned long)i)) {
        mismatch = (int)i;
        break;
      }
    printf("round %d: block %d, overlapped %lu of %d, FIONREAD %lu, sync %lu%s", r, block,
           (unsigned long)got, first, (unsigned long)available, (unsigned long)more,
           mismatch < 0 ? ", bytes right\n" : "");
    if (mismatch >= 0) {
      printf(", WRONG from byte %d:", mismatch);
      for (int i = mismatch; i < mismatch + 8 && i < total; ++i)
        printf(" %02x/%02x", (unsigned char)buf[i], Expected(stream + (unsigned long)i));
      printf(" (got/expected)\n");
      ++bad;
    }
    stream += (unsigned long)total;
  }
  printf("RESULT %d of %d rounds wrong\n", bad, rounds);
  return bad ? 1 : 0;
}
