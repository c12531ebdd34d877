using System;
using System.Globalization;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;

namespace Dravik
{
    /// <summary>The calls of dravik.h, and the crossing of texts and statuses.</summary>
    /// <remarks>
    /// Every text crosses as bytes: in as NUL-terminated UTF-8, out into a byte[] this side
    /// allocates, decoded here. The marshaller converts no string and frees nothing, so nothing
    /// depends on .NET Framework's string marshalling, which knows no UTF-8.
    /// </remarks>
    internal static class Native
    {
        // dravik.dll on Windows; under mono Dravik.Net.dll.config maps it to libdravik.so.N.
        private const string Library = "dravik";

        // Texts in are strict: a lone surrogate would otherwise become U+FFFD and the library
        // would judge another text than the caller's.
        private static readonly Encoding StrictUtf8 = new UTF8Encoding(false, true);

        // A first buffer that holds a record, an error line or a short list in one call.
        private const int FirstBufferSize = 1024;

        internal delegate int TextCall(byte[] buffer, int size);

        static Native()
        {
            // A host's search path does not hold the folder of a referenced assembly, so the
            // dravik.dll beside this assembly is loaded by its path first; DllImport then binds
            // to the module already loaded under that name. It stays loaded for the process.
            if (Environment.OSVersion.Platform != PlatformID.Win32NT) return;
            // Location is "" for an assembly loaded from bytes: nothing is beside it then.
            string location = typeof(Native).Assembly.Location;
            if (string.IsNullOrEmpty(location)) return;
            string folder = Path.GetDirectoryName(location);
            string beside = Path.Combine(folder, "dravik.dll");
            if (File.Exists(beside)) LoadLibraryW(beside);
        }

        [DllImport("kernel32", CharSet = CharSet.Unicode)]
        private static extern IntPtr LoadLibraryW(string path);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int dravik_new(out int session);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int dravik_open(int session, byte[] port);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int dravik_open_log(int session, byte[] path);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int dravik_set_tags(int session, byte[] tags);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int dravik_set(int session, byte[] channel, byte[] dbText);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int dravik_ports(int session);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int dravik_find(int session, int all);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int dravik_record(int session, [Out] byte[] buffer, int size);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int dravik_record_value(int session, byte[] key, [Out] byte[] buffer,
                                                       int size);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int dravik_record_keys([Out] byte[] buffer, int size);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int dravik_error(int session, [Out] byte[] buffer, int size);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int dravik_port(int session, [Out] byte[] buffer, int size);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int dravik_list(int session, [Out] byte[] buffer, int size);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int dravik_cancel(int session);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int dravik_close(int session);

        /// <summary>A text call's text; null when the call refused (a session closed
        /// meanwhile, an unknown key).</summary>
        internal static string Text(TextCall call)
        {
            byte[] buffer = new byte[FirstBufferSize];
            while (true)
            {
                int length = call(buffer, buffer.Length);
                if (length < 0) return null;
                if (length < buffer.Length) return Encoding.UTF8.GetString(buffer, 0, length);
                // Longer than the buffer: asked again with room for it. The text may have grown
                // meanwhile (another thread's call on the session), hence the loop.
                buffer = new byte[length + 1];
            }
        }

        /// <summary>Why the session's last call failed, in the library's words ("" when the
        /// session is gone).</summary>
        internal static string Error(int session)
        {
            return Text((buffer, size) => dravik_error(session, buffer, size)) ?? "";
        }

        /// <summary>A caller's text as the library takes it: UTF-8 with its NUL.</summary>
        /// <exception cref="ArgumentNullException">text is null.</exception>
        /// <exception cref="InvalidArgumentException">text holds a NUL or is not valid
        /// Unicode.</exception>
        internal static byte[] Utf8(string text, string name)
        {
            if (text == null) throw new ArgumentNullException(name);
            if (text.IndexOf('\0') >= 0)
                throw new InvalidArgumentException(
                    name + " holds a NUL character, which no text of libdravik can carry");
            try
            {
                byte[] bytes = new byte[StrictUtf8.GetByteCount(text) + 1];
                StrictUtf8.GetBytes(text, 0, text.Length, bytes, 0);
                return bytes;
            }
            catch (EncoderFallbackException)
            {
                throw new InvalidArgumentException(
                    name + " holds a lone UTF-16 surrogate, which is no character");
            }
        }

        /// <summary>The shortest text that reads back as the same double, culture-invariant,
        /// as Python writes a float and dravik_set_db words a level: 0.35 is "0.35", the text of
        /// <c>dravik-cli set 1310CW=0.35</c>; 2 is "2.0", 0.00001 "1e-05".</summary>
        /// <remarks>.NET Framework's "R" format does not always round-trip, so the digits are
        /// searched instead. NaN and the infinities keep their names, which the library
        /// refuses as it refuses every text that is not a finite number.</remarks>
        internal static string Number(double value)
        {
            CultureInfo invariant = CultureInfo.InvariantCulture;
            if (double.IsNaN(value) || double.IsInfinity(value)) return value.ToString(invariant);
            // G drops the sign of a negative zero.
            if (value == 0) return 1 / value < 0 ? "-0.0" : "0.0";
            string text;
            for (int digits = 15;; ++digits)
            {
                text = value.ToString("G" + digits.ToString(invariant), invariant);
                // Near double.MaxValue the rounded text reads back as an overflow.
                double back;
                if (digits == 17 ||
                    double.TryParse(text, NumberStyles.Float, invariant, out back) && back == value)
                    break;
            }
            // The record and the log then hold the same text for a level from C# as from Python.
            text = text.Replace('E', 'e');
            return text.IndexOf('.') < 0 && text.IndexOf('e') < 0 ? text + ".0" : text;
        }

        /// <summary>A fresh session, for a Meter or one of Station's calls.</summary>
        internal static int NewSession()
        {
            int session;
            int status = dravik_new(out session);
            if (status != 0)
                throw ErrorFor(status, "libdravik could not make a session", false, null);
            return session;
        }

        /// <summary>The exception for a status that ended a call.</summary>
        /// <param name="status">The library's status.</param>
        /// <param name="message">The library's line saying why.</param>
        /// <param name="duringRun">Whether the call was a set, for which 4 is a port
        /// lost.</param>
        /// <param name="record">The channel's record, where the library kept one.</param>
        internal static DravikException ErrorFor(int status, string message, bool duringRun,
                                                 Record record)
        {
            switch ((DravikStatus)status)
            {
            case DravikStatus.InvalidArgument:
                return new InvalidArgumentException(message);
            case DravikStatus.NoMeter:
                return new NoMeterFoundException(message, null);
            case DravikStatus.PortUnavailable:
                if (duringRun) return new PortLostException(message, record);
                return new PortUnavailableException(message);
            case DravikStatus.Cancelled:
                return new CancelledException(message, record);
            case DravikStatus.LogFailed:
                return new LogFailedException(message, record);
            case DravikStatus.Busy:
                return new BusyException(message);
            default:
                if (message.Length == 0)
                    message = "libdravik returned status " +
                              status.ToString(CultureInfo.InvariantCulture);
                return new DravikException((DravikStatus)status, message, record);
            }
        }
    }
}
