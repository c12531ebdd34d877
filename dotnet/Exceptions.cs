using System;
using System.Collections.Generic;

namespace Dravik
{
    // A copy of the session's table (session/statuses.h), which session_test holds it to.
    /// <summary>The statuses of libdravik; 0 to 4 are also dravik-cli's exit codes.</summary>
    public enum DravikStatus
    {
        /// <summary>The meter answered every channel asked.</summary>
        Confirmed = 0,
        /// <summary>The meter did not answer; the record says more.</summary>
        NotConfirmed = 1,
        /// <summary>Refused before anything was opened or sent.</summary>
        InvalidArgument = 2,
        /// <summary>No port answered as the meter.</summary>
        NoMeter = 3,
        /// <summary>The port would not open, or was lost during the run.</summary>
        PortUnavailable = 4,
        /// <summary>A cancel ended the call; nothing more is sent in the run.</summary>
        Cancelled = 5,
        /// <summary>The log could not be opened or take a row.</summary>
        LogFailed = 6,
        /// <summary>The library's session was closed or never made.</summary>
        BadHandle = 7,
        /// <summary>Not finished (out of memory), or a library this assembly does not
        /// match.</summary>
        InternalError = 8,
        /// <summary>Another call on the session ran: this one did nothing.</summary>
        Busy = 9,
    }

    /// <summary>A call libdravik refused or a run it stopped: <see cref="Status"/> and the
    /// library's own line in the operator's language, the one dravik-cli prints.</summary>
    /// <remarks>A channel the meter did not confirm is no exception: its
    /// <see cref="Dravik.Record.Answered"/> is false.</remarks>
    public class DravikException : Exception
    {
        /// <summary>An exception with the library's status and line.</summary>
        /// <param name="status">The library's status.</param>
        /// <param name="message">The library's line saying why.</param>
        /// <param name="record">The channel's record, where the library kept one.</param>
        public DravikException(DravikStatus status, string message, Record record) : base(message)
        {
            Status = status;
            Record = record;
        }

        /// <summary>The library's status.</summary>
        public DravikStatus Status { get; private set; }

        /// <summary>The channel's record where the library kept one (a run that stopped
        /// records the channel as sent or as not sent), else null.</summary>
        public Record Record { get; private set; }
    }

    /// <summary>A channel, level, port, log path or tag refused before anything was opened
    /// or sent (status 2).</summary>
    public class InvalidArgumentException : DravikException
    {
        /// <summary>The refusal with the library's line.</summary>
        /// <param name="message">Why the argument was refused.</param>
        public InvalidArgumentException(string message)
            : base(DravikStatus.InvalidArgument, message, null)
        {
        }
    }

    /// <summary>No port answered as the meter (status 3).</summary>
    public class NoMeterFoundException : DravikException
    {
        /// <summary>The search's failure.</summary>
        /// <param name="message">The library's lines: what became of each port.</param>
        /// <param name="tried">Each port tried, from <see cref="Station.Find"/>; null from a
        /// Meter, whose message holds them.</param>
        public NoMeterFoundException(string message, IList<ProbeOutcome> tried)
            : base(DravikStatus.NoMeter, message, null)
        {
            Tried = tried ?? new List<ProbeOutcome>();
        }

        /// <summary>Every port probed and what became of it, as dravik-cli find prints
        /// them.</summary>
        public IList<ProbeOutcome> Tried { get; private set; }
    }

    /// <summary>The port would not open; the message says why: busy and held by whom, no
    /// permission and what to do about it, gone (status 4).</summary>
    public class PortUnavailableException : DravikException
    {
        /// <summary>The refusal with the library's line.</summary>
        /// <param name="message">Why the port would not open.</param>
        public PortUnavailableException(string message)
            : base(DravikStatus.PortUnavailable, message, null)
        {
        }
    }

    /// <summary>The port went away during the run (an adapter pulled): nothing more is sent
    /// on it (status 4).</summary>
    public class PortLostException : DravikException
    {
        /// <summary>The stop with the library's line.</summary>
        /// <param name="message">The port lost.</param>
        /// <param name="record">The channel's record.</param>
        public PortLostException(string message, Record record)
            : base(DravikStatus.PortUnavailable, message, record)
        {
        }
    }

    /// <summary><see cref="Meter.Cancel"/> or <see cref="Meter.Dispose"/> ended the run:
    /// nothing more is sent on this Meter (status 5).</summary>
    public class CancelledException : DravikException
    {
        /// <summary>The stop with the library's line.</summary>
        /// <param name="message">What was cancelled.</param>
        /// <param name="record">The channel's record, where one was kept.</param>
        public CancelledException(string message, Record record)
            : base(DravikStatus.Cancelled, message, record)
        {
        }
    }

    /// <summary>The log could not be opened or take a row; a channel whose row failed was not
    /// sent, nor is any after it (status 6).</summary>
    public class LogFailedException : DravikException
    {
        /// <summary>The failure with the library's line.</summary>
        /// <param name="message">The log and why.</param>
        /// <param name="record">The channel's record, where one was kept.</param>
        public LogFailedException(string message, Record record)
            : base(DravikStatus.LogFailed, message, record)
        {
        }
    }

    /// <summary>Another call ran on the library's session (status 9): this one did
    /// nothing.</summary>
    public class BusyException : DravikException
    {
        /// <summary>The refusal with the library's line.</summary>
        /// <param name="message">The library's line.</param>
        public BusyException(string message) : base(DravikStatus.Busy, message, null)
        {
        }
    }
}
