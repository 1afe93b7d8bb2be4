-- Roles, extensions and the auth schema of the local backend.
--
-- The server connects as postgres and runs every REST request inside one transaction after
-- `SET LOCAL ROLE <role of the token>` and `set_config('request.jwt.claims', <claims>, true)`.
-- Everything below that checks who is asking reads those claims through auth.uid().

\set ON_ERROR_STOP on

CREATE EXTENSION IF NOT EXISTS pgcrypto;

-- Timestamps leave the database as JSON in the session's time zone; the hosted service runs in
-- UTC, so clients see "+00:00" offsets here too.
ALTER DATABASE postgres SET timezone TO 'UTC';
SET timezone TO 'UTC';

CREATE ROLE anon NOLOGIN NOINHERIT;
CREATE ROLE authenticated NOLOGIN NOINHERIT;
CREATE ROLE service_role NOLOGIN NOINHERIT BYPASSRLS;

-- The tables are created by postgres, so postgres must be able to switch into each role.
GRANT anon, authenticated, service_role TO postgres;

CREATE SCHEMA auth;
GRANT USAGE ON SCHEMA auth TO anon, authenticated, service_role;

CREATE TABLE auth.users (
    id uuid PRIMARY KEY DEFAULT gen_random_uuid(),
    email text NOT NULL UNIQUE CHECK (email = lower(email) AND email <> ''),
    encrypted_password text NOT NULL,
    raw_app_meta_data jsonb NOT NULL DEFAULT '{"provider": "email", "providers": ["email"]}',
    raw_user_meta_data jsonb NOT NULL DEFAULT '{}',
    created_at timestamptz NOT NULL DEFAULT now(),
    updated_at timestamptz NOT NULL DEFAULT now(),
    last_sign_in_at timestamptz
);

CREATE TABLE auth.sessions (
    id uuid PRIMARY KEY DEFAULT gen_random_uuid(),
    user_id uuid NOT NULL REFERENCES auth.users (id) ON DELETE CASCADE,
    created_at timestamptz NOT NULL DEFAULT now()
);
CREATE INDEX sessions_user_id_idx ON auth.sessions (user_id);

CREATE TABLE auth.refresh_tokens (
    token text PRIMARY KEY,
    session_id uuid NOT NULL REFERENCES auth.sessions (id) ON DELETE CASCADE,
    user_id uuid NOT NULL REFERENCES auth.users (id) ON DELETE CASCADE,
    revoked boolean NOT NULL DEFAULT false,
    parent text,
    created_at timestamptz NOT NULL DEFAULT now()
);
CREATE INDEX refresh_tokens_session_id_idx ON auth.refresh_tokens (session_id);

-- The claims of the current request, or null outside a request. A setting that was set earlier
-- in the session and has since been reset reads as the empty string, not as null.
CREATE FUNCTION auth.jwt() RETURNS jsonb
LANGUAGE sql STABLE
AS $$
    SELECT nullif(current_setting('request.jwt.claims', true), '')::jsonb
$$;

CREATE FUNCTION auth.uid() RETURNS uuid
LANGUAGE sql STABLE
AS $$
    SELECT nullif(auth.jwt() ->> 'sub', '')::uuid
$$;

CREATE FUNCTION auth.role() RETURNS text
LANGUAGE sql STABLE
AS $$
    SELECT auth.jwt() ->> 'role'
$$;

CREATE FUNCTION auth.email() RETURNS text
LANGUAGE sql STABLE
AS $$
    SELECT auth.jwt() ->> 'email'
$$;

GRANT EXECUTE ON FUNCTION auth.jwt(), auth.uid(), auth.role(), auth.email()
    TO anon, authenticated, service_role;

-- Only the server (as postgres) and service_role see the accounts themselves.
GRANT SELECT, INSERT, UPDATE, DELETE ON ALL TABLES IN SCHEMA auth TO service_role;
