/// <reference types="node" />

/** Codes of the error objects `start` reports before it returns. */
export type StartErrorCode =
  | 'invalidAuthUrl'
  | 'invalidCallbackScheme'
  | 'invalidNativeWindowHandle'
  | 'mainThreadRequired'
  | 'sessionAlreadyActive'
  | 'windowUnavailable'
  | 'sessionStartFailed';

/** Codes of the error objects a completed session reports. */
export type CompletionErrorCode = 'callbackMissing' | 'callbackSchemeMismatch';

/** A refusal or failure without platform details: exactly "code" and "message". */
export interface WebAuthError {
  code: StartErrorCode | CompletionErrorCode;
  message: string;
}

/** The platform reported an error other than the user's cancelled login. */
export interface WebAuthSessionFailure {
  code: 'authenticationSessionFailed';
  message: 'The authentication session failed.';
  /** The platform error's domain; empty when it has none. */
  domain: string;
  /** The platform error's integer code. */
  nativeCode: number;
}

/** The callback's first argument: a plain object, not an `Error`. */
export type WebAuthSessionError = WebAuthError | WebAuthSessionFailure;

/**
 * Called exactly once per accepted `start` (not when the environment is torn down):
 * with (null, url) on success, (null, null) when the user or `cancel` ended the session,
 * and (error, null) otherwise. The receiver is undefined.
 */
export type WebAuthCallback = (
  this: undefined,
  error: WebAuthSessionError | null,
  callbackUrl: string | null,
) => void;

/**
 * Opens the system web-authentication sheet for `authUrl` over the window of the view whose
 * native handle is given (8 bytes, as `BrowserWindow.getNativeWindowHandle()` returns).
 * Call from the main thread. Throws a TypeError unless given exactly two strings, a Buffer and
 * a function; every other refusal reaches `callback` before `start` returns.
 */
export function start(
  authUrl: string,
  callbackScheme: string,
  nativeWindowHandle: Buffer,
  callback: WebAuthCallback,
): void;

/**
 * Ends the running session, if any, calling its callback with (null, null) before returning.
 * Throws a TypeError when given any argument, and an Error when called off the main thread.
 */
export function cancel(): void;
