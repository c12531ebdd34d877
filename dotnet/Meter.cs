using System;
using System.Collections.Generic;
using System.Threading;

namespace Dravik
{
    /// <summary>The meter on its port, open until <see cref="Dispose"/>.</summary>
    /// <remarks>
    /// <para><c>new Meter()</c> finds the meter as the dialog does; <c>new Meter("COM3")</c>
    /// probes that port as the search does and opens it. Then <c>meter.Set("1310CW", 0.35)</c>
    /// sends the frame of <c>dravik-cli set 1310CW=0.35</c>, under any culture.</para>
    /// <para>A Meter may be shared between threads: its calls take turns, and
    /// <see cref="Cancel"/> and <see cref="Dispose"/> work from any thread at any
    /// time.</para>
    /// </remarks>
    public sealed class Meter : IDisposable
    {
        // One caller at a time on the session (a SetMany is not cut into), so the library never
        // answers Busy to this Meter's own calls. Cancel and Dispose never take it: the library
        // lets them reach a call in progress.
        private readonly object turn = new object();
        private int session;
        private int disposed;
        private string port;
        // Replaced whole, never changed: read without the turn.
        private volatile Dictionary<string, string> tags =
            new Dictionary<string, string>(StringComparer.Ordinal);

        /// <summary>Finds the meter as the dialog does, trying each port until one answers,
        /// and opens its port.</summary>
        /// <exception cref="NoMeterFoundException">No port answered; the message says what
        /// became of each.</exception>
        /// <exception cref="DravikException">Another failure of the library.</exception>
        public Meter()
        {
            Open(null);
        }

        /// <summary>Probes the port named as the search probes a port, and opens it; a port
        /// that does not answer as the meter gets nothing else.</summary>
        /// <param name="port">The port: COM3, /dev/ttyUSB0.</param>
        /// <exception cref="ArgumentNullException">port is null.</exception>
        /// <exception cref="InvalidArgumentException">port is empty or not a port
        /// name.</exception>
        /// <exception cref="NoMeterFoundException">The port did not answer as the
        /// meter.</exception>
        /// <exception cref="PortUnavailableException">The port would not open; the message
        /// says why.</exception>
        public Meter(string port)
        {
            byte[] text = Native.Utf8(port, "port");
            if (port.Length == 0)
                throw new InvalidArgumentException(
                    "the port \"\" names no port: new Meter() finds the meter");
            Open(text);
        }

        /// <summary>Closes the port if Dispose was never called.</summary>
        ~Meter()
        {
            Close();
        }

        /// <summary>The meter's port: the one named, or the one the search found.</summary>
        public string Port
        {
            get {
                return port;
            }
        }

        /// <summary>The station's tags (the meter's serial number, the operator, the work
        /// order), in every record and log row from the next set on; set as a whole, checked
        /// as <c>dravik-cli set --tag</c> checks them. A refusal leaves the tags as they
        /// were.</summary>
        /// <exception cref="ArgumentNullException">The dictionary, a key or a value is
        /// null.</exception>
        /// <exception cref="InvalidArgumentException">A tag the library refuses.</exception>
        /// <exception cref="ObjectDisposedException">The Meter is disposed.</exception>
        public IDictionary<string, string> Tags
        {
            get {
                return new Dictionary<string, string>(tags, StringComparer.Ordinal);
            }
            set {
                if (value == null) throw new ArgumentNullException("value");
                var copy = new Dictionary<string, string>(StringComparer.Ordinal);
                var pairs = new List<string>();
                foreach (KeyValuePair<string, string> tag in value)
                {
                    if (tag.Key == null || tag.Value == null)
                        throw new ArgumentNullException("value", "a tag's key or value is null");
                    // The library takes the tags as one text: a separator inside a tag would make
                    // other tags of it.
                    if (tag.Key.IndexOf('=') >= 0 || tag.Key.IndexOf(';') >= 0 ||
                        tag.Value.IndexOf(';') >= 0)
                        throw new InvalidArgumentException(
                            "tag " + tag.Key + "=" + tag.Value +
                            ": '=' in a key or ';' anywhere would split it into other tags");
                    pairs.Add(tag.Key + "=" + tag.Value);
                    copy.Add(tag.Key, tag.Value);
                }
                byte[] text = Native.Utf8(string.Join(";", pairs), "Tags");
                lock (turn)
                {
                    ThrowIfDisposed();
                    int status = Native.dravik_set_tags(session, text);
                    if (status != 0) throw Failure(status, null, false);
                    tags = copy;
                }
            }
        }

        /// <summary>Appends the CSV log of <c>dravik-cli set --log</c>, with its write-ahead
        /// rows, for every set from here on. A log that cannot be opened leaves the one the
        /// Meter had.</summary>
        /// <param name="path">The log file.</param>
        /// <exception cref="ArgumentNullException">path is null.</exception>
        /// <exception cref="InvalidArgumentException">path is empty.</exception>
        /// <exception cref="LogFailedException">The file could not be opened.</exception>
        /// <exception cref="ObjectDisposedException">The Meter is disposed.</exception>
        public void OpenLog(string path)
        {
            byte[] text = Native.Utf8(path, "path");
            if (path.Length == 0)
                throw new InvalidArgumentException("the log path \"\" names no file");
            lock (turn)
            {
                ThrowIfDisposed();
                int status = Native.dravik_open_log(session, text);
                if (status != 0) throw Failure(status, null, false);
            }
        }

        /// <summary>Sets one channel to a level in dB and returns its record.</summary>
        /// <param name="channel">1310CW, 1310Burst, 1490CW, 1550CW (any case) or 0 to
        /// 3.</param>
        /// <param name="db">The level, sent as its shortest round-trip text, whatever the
        /// culture.</param>
        /// <returns>The channel's record; <see cref="Record.Answered"/> false when the meter
        /// did not confirm it.</returns>
        /// <exception cref="ArgumentNullException">channel is null.</exception>
        /// <exception cref="InvalidArgumentException">An unknown channel, or a level that is
        /// not finite or whose factor is not; nothing was sent.</exception>
        /// <exception cref="PortLostException">The port went away.</exception>
        /// <exception cref="LogFailedException">The channel's log row could not be written;
        /// it was not sent.</exception>
        /// <exception cref="CancelledException">Cancel or Dispose ended the set.</exception>
        /// <exception cref="ObjectDisposedException">The Meter was disposed before the
        /// set.</exception>
        public Record Set(string channel, double db)
        {
            return Set(channel, Native.Number(db));
        }

        /// <summary>Sets one channel to a level given as text, checked as <c>dravik-cli
        /// set</c> checks it, and returns its record.</summary>
        /// <param name="channel">1310CW, 1310Burst, 1490CW, 1550CW (any case) or 0 to
        /// 3.</param>
        /// <param name="dbText">The level in dB: one number, "0.35".</param>
        /// <returns>The channel's record; <see cref="Record.Answered"/> false when the meter
        /// did not confirm it. After a channel the meter did not answer in time nothing more
        /// is sent (a late answer could not be told from the next channel's): every later set
        /// returns a record with <see cref="Record.Sent"/> false.</returns>
        /// <exception cref="ArgumentNullException">channel or dbText is null.</exception>
        /// <exception cref="InvalidArgumentException">An unknown channel, or a level that is
        /// no single finite number ("2.5x"); nothing was sent.</exception>
        /// <exception cref="PortLostException">The port went away; every later set throws
        /// the same.</exception>
        /// <exception cref="LogFailedException">The channel's log row could not be written;
        /// it was not sent, nor is any after it.</exception>
        /// <exception cref="CancelledException">Cancel or Dispose ended the set; every later
        /// set throws the same.</exception>
        /// <exception cref="ObjectDisposedException">The Meter was disposed before the
        /// set.</exception>
        public Record Set(string channel, string dbText)
        {
            byte[] channelText = Native.Utf8(channel, "channel");
            byte[] dbBytes = Native.Utf8(dbText, "dbText");
            lock (turn)
            {
                ThrowIfDisposed();
                Record record;
                int status = SetOne(channelText, dbBytes, out record);
                if (status <= (int)DravikStatus.NotConfirmed && record != null) return record;
                throw Failure(status, record, true);
            }
        }

        /// <summary>Sets the channels in the dictionary's order and returns their
        /// records.</summary>
        /// <remarks>Stops as <c>dravik-cli set</c> does: after a lost port, a log row that
        /// failed, a cancel or a channel the meter did not answer in time, the channels left
        /// are sent no more and come back as records with <see cref="Record.Sent"/> false; no
        /// exception says so.</remarks>
        /// <param name="levels">Channel and level in dB.</param>
        /// <returns>One record per channel, in order.</returns>
        /// <exception cref="ArgumentNullException">levels or a channel is null.</exception>
        /// <exception cref="InvalidArgumentException">A channel or level the library refuses,
        /// when its turn comes: the channels before it were set, nothing of it sent.</exception>
        /// <exception cref="CancelledException">Dispose ended the run.</exception>
        /// <exception cref="ObjectDisposedException">The Meter was disposed before the
        /// run.</exception>
        public IList<Record> SetMany(IDictionary<string, double> levels)
        {
            if (levels == null) throw new ArgumentNullException("levels");
            var texts = new List<KeyValuePair<byte[], byte[]>>();
            foreach (KeyValuePair<string, double> level in levels)
                texts.Add(new KeyValuePair<byte[], byte[]>(
                    Native.Utf8(level.Key, "channel"),
                    Native.Utf8(Native.Number(level.Value), "db")));
            var records = new List<Record>();
            lock (turn)
            {
                ThrowIfDisposed();
                foreach (KeyValuePair<byte[], byte[]> text in texts)
                {
                    // The library's session is gone: the channels left could not even be
                    // recorded as not sent.
                    if (Volatile.Read(ref disposed) != 0)
                        throw new CancelledException("the Meter was disposed during SetMany",
                                                     records.Count > 0 ? records[records.Count - 1]
                                                                       : null);
                    Record record;
                    int status = SetOne(text.Key, text.Value, out record);
                    if (record == null) throw Failure(status, null, true);
                    records.Add(record);
                }
            }
            return records;
        }

        /// <summary>Ends the wait of a set in progress at its next step (never in the middle
        /// of a frame), from any thread: that set throws <see cref="CancelledException"/>, and
        /// every later one sends nothing and throws the same. Does nothing on a disposed
        /// Meter.</summary>
        public void Cancel()
        {
            // A session number is never reused, so one closed meanwhile is only refused.
            if (Volatile.Read(ref disposed) == 0) Native.dravik_cancel(session);
        }

        /// <summary>Closes the port, the line left as found, from any thread: a set in
        /// progress is cancelled and ends with <see cref="CancelledException"/>, and Dispose
        /// returns once it has. Every later call throws
        /// <see cref="ObjectDisposedException"/>.</summary>
        public void Dispose()
        {
            Close();
            GC.SuppressFinalize(this);
        }

        private void Open(byte[] portText)
        {
            session = Native.NewSession();
            int status = Native.dravik_open(session, portText);
            if (status == 0)
                port = Native.Text((buffer, size) => Native.dravik_port(session, buffer, size));
            if (status != 0 || port == null)
            {
                string message = Native.Error(session);
                Dispose();
                throw Native.ErrorFor(status, message, false, null);
            }
        }

        private void Close()
        {
            if (Interlocked.Exchange(ref disposed, 1) == 0) Native.dravik_close(session);
        }

        private int SetOne(byte[] channel, byte[] db, out Record record)
        {
            int status = Native.dravik_set(session, channel, db);
            record = Record.Read(session);
            return status;
        }

        private void ThrowIfDisposed()
        {
            if (Volatile.Read(ref disposed) != 0) throw new ObjectDisposedException("Meter");
        }

        private DravikException Failure(int status, Record record, bool duringRun)
        {
            string message = Native.Error(session);
            // Dispose closed the session during the call: cut short (cancelled), refused as busy
            // or as a session no longer there, it is the cancel Dispose makes.
            if (Volatile.Read(ref disposed) != 0 && status != (int)DravikStatus.InvalidArgument)
                return new CancelledException(
                    message.Length > 0 ? message : "the Meter was disposed during the call",
                    record);
            return Native.ErrorFor(status, message, duringRun, record);
        }
    }
}
