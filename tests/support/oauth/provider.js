#!/usr/bin/env node
// The OAuth 2.0 provider the tests sign in at: oauth2-mock-server on 127.0.0.1, made as strict
// as a real provider where the mock is lenient.
//
//   node provider.js [--lifetime SECONDS] [--client-secret SECRET] [--user NAME]
//
// Prints "PORT <n>" once it listens, then takes commands on stdin, one a line, and answers
// each with one line on stdout:
//   revoke NAME     every refresh token of NAME stops working   -> "ok"
//   lifetime N      access tokens issued from now live N seconds -> "ok"
//   user NAME       who signs in when the request names nobody (login_hint) -> "ok"
//   mint NAME       a fresh access token for NAME (for a token command) -> the token
//   stats           {"authorization_code":n,"refresh_token":n,"introspect":n,"refused":n}
//   issued          every access and refresh token handed out so far, one line, blank-separated
//   hold            the authorization endpoint stops answering (a browser that never returns)
// It ends when stdin closes.
//
// What the mock alone would let through and this refuses: a code used twice, a code without
// its PKCE verifier, another redirect_uri or client at the token endpoint than at the
// authorization, a wrong client secret, an unknown, revoked or already rotated refresh token
// (every refresh hands out a new one, as Microsoft does). Introspection (Dovecot posts the
// token form-encoded) answers active only for a token this provider issued, that has not
// expired, and names the user it belongs to, so the mail server refuses other users' tokens.
'use strict';
const http = require('node:http');
const readline = require('node:readline');
const { randomUUID } = require('node:crypto');
const { OAuth2Server } = require('oauth2-mock-server');

const args = process.argv.slice(2);
const option = (name, fallback) => {
  const i = args.indexOf(name);
  return i >= 0 && i + 1 < args.length ? args[i + 1] : fallback;
};
let lifetime = Number(option('--lifetime', '3600'));
const clientSecret = option('--client-secret', '');
let defaultUser = option('--user', 'test');
let holding = false;

const codes = new Map();          // code -> { user, redirectUri, clientId, challenge }
const refreshTokens = new Map();  // refresh token -> { user, clientId, scope }
const accessTokens = new Map();   // access token -> { user, exp }
const issued = [];                // every access and refresh token handed out
const stats = { authorization_code: 0, refresh_token: 0, introspect: 0, refused: 0 };

// The mock's issuer and request handler, served by the server below (never started itself).
const mock = new OAuth2Server();
const issuer = mock.issuer;
const service = mock.service;

// Who signs in and with what, kept by code when the provider redirects back.
service.on('beforeAuthorizeRedirect', (redirect, req) => {
  const code = redirect.url.searchParams.get('code');
  if (!code) return;
  codes.set(code, {
    user: typeof req.query.login_hint === 'string' && req.query.login_hint ? req.query.login_hint : defaultUser,
    redirectUri: req.query.redirect_uri,
    clientId: req.query.client_id,
    challenge: req.query.code_challenge,
    method: req.query.code_challenge_method,
    scope: req.query.scope,
  });
});

// The mock's own tokens live as long as this provider's (they are replaced below in any case).
service.on('beforeTokenSigning', (token) => {
  token.payload.exp = token.payload.iat + lifetime;
});

function refuse(response, error, description) {
  stats.refused++;
  response.statusCode = 400;
  response.body = { error, error_description: description };
}

service.on('beforeResponse', (response, req) => {
  if (response.statusCode !== 200) return;
  const body = req.body || {};
  const clientId = body.client_id;
  if (clientSecret && body.client_secret !== clientSecret)
    return refuse(response, 'invalid_client', 'client authentication failed');
  let grant;
  if (body.grant_type === 'authorization_code') {
    stats.authorization_code++;
    grant = codes.get(body.code);
    codes.delete(body.code);
    if (!grant) return refuse(response, 'invalid_grant', 'unknown or used code');
    if (grant.redirectUri !== body.redirect_uri) return refuse(response, 'invalid_grant', 'redirect_uri differs');
    if (grant.clientId !== clientId) return refuse(response, 'invalid_grant', 'client differs');
    if (!grant.challenge || grant.method !== 'S256' || !body.code_verifier)
      return refuse(response, 'invalid_request', 'PKCE S256 required');
  } else if (body.grant_type === 'refresh_token') {
    stats.refresh_token++;
    grant = refreshTokens.get(body.refresh_token);
    if (!grant || grant.clientId !== clientId)
      return refuse(response, 'invalid_grant', 'Token has been expired or revoked.');
    refreshTokens.delete(body.refresh_token);
  } else {
    return refuse(response, 'unsupported_grant_type', 'not offered here');
  }
  // The mock signed for its fixed user; the tokens handed out are this grant's user's.
  response.pending = grant;
});

// The answer's tokens for the grant's user, in place of the mock's for its fixed user (its
// hooks cannot sign again synchronously, so the answer is finished after its handler chose it).
async function finishTokenAnswer(grant) {
    const claims = (extra) => (header, payload) =>
      Object.assign(payload, { sub: grant.user, email: grant.user, jti: randomUUID() }, extra);
    const access = await issuer.buildToken({ expiresIn: lifetime, scopesOrTransform: claims({ scope: grant.scope || 'mail' }) });
    const idToken = await issuer.buildToken({ expiresIn: lifetime, scopesOrTransform: claims({ aud: grant.clientId }) });
    const refresh = randomUUID();
    accessTokens.set(access, { user: grant.user, exp: Math.floor(Date.now() / 1000) + lifetime });
  issued.push(access, refresh);
    refreshTokens.set(refresh, { user: grant.user, clientId: grant.clientId, scope: grant.scope });
  return { access_token: access, token_type: 'Bearer', expires_in: lifetime, scope: grant.scope,
           id_token: idToken, refresh_token: refresh };
}

function readBody(req) {
  return new Promise((resolve) => {
    let data = '';
    req.setEncoding('utf8');
    req.on('data', (chunk) => { data += chunk; });
    req.on('end', () => resolve(data));
  });
}

function introspect(token) {
  stats.introspect++;
  const entry = accessTokens.get(token);
  if (!entry || entry.exp <= Math.floor(Date.now() / 1000)) return { active: false };
  return { active: true, username: entry.user, email: entry.user, exp: entry.exp };
}

const mockHandler = service.requestHandler;
const server = http.createServer(async (req, res) => {
  const url = new URL(req.url, 'http://127.0.0.1');
  if (url.pathname === '/introspect' && req.method === 'POST') {
    const raw = await readBody(req);
    let token = '';
    if ((req.headers['content-type'] || '').includes('json')) {
      try { token = JSON.parse(raw).token || ''; } catch { token = ''; }
    } else {
      token = new URLSearchParams(raw).get('token') || '';
    }
    // Dovecot may also send the token as a bearer header.
    const auth = req.headers.authorization || '';
    if (!token && auth.startsWith('Bearer ')) token = auth.slice(7);
    res.writeHead(200, { 'Content-Type': 'application/json' });
    return res.end(JSON.stringify(introspect(token)));
  }
  if (url.pathname === '/authorize' && holding) return;   // never answers
  if (url.pathname === '/token' && req.method === 'POST') {
    // Let the mock check the request (PKCE included) and choose; then hand out this grant's
    // own tokens in place of the mock's.
    // express gives the answer its json() when it takes the request: the mock's is looked up then.
    const originalJson = { call: (self, body) => Object.getPrototypeOf(self).json.call(self, body) };
    res.json = function (body) {
      const grant = this.pendingGrant;
      if (this.statusCode !== 200 || !grant) return originalJson.call(this, body);
      finishTokenAnswer(grant).then((own) => originalJson.call(this, own),
                                   () => { this.status(500); originalJson.call(this, { error: 'server_error' }); });
      return this;
    };
    const onResponse = (response, forReq) => { if (forReq === req) res.pendingGrant = response.pending; };
    service.on('beforeResponse', onResponse);
    res.on('finish', () => service.off('beforeResponse', onResponse));
    res.on('close', () => service.off('beforeResponse', onResponse));
  }
  return mockHandler(req, res);
});

(async () => {
  await issuer.keys.generate('RS256');
  server.listen(0, '127.0.0.1', () => {
    const port = server.address().port;
    issuer.url = `http://127.0.0.1:${port}`;
    process.stdout.write(`PORT ${port}\n`);
  });
})();

const commands = readline.createInterface({ input: process.stdin });
commands.on('line', async (line) => {
  const [verb, arg] = line.trim().split(/\s+/);
  let answer = 'ok';
  if (verb === 'revoke') {
    for (const [token, grant] of refreshTokens) if (grant.user === arg) refreshTokens.delete(token);
  } else if (verb === 'lifetime') {
    lifetime = Number(arg);
  } else if (verb === 'user') {
    defaultUser = arg;
  } else if (verb === 'hold') {
    holding = true;
  } else if (verb === 'mint') {
    answer = (await finishTokenAnswer({ user: arg, clientId: 'mint', scope: 'mail' })).access_token;
  } else if (verb === 'issued') {
    answer = issued.join(' ');
  } else if (verb === 'stats') {
    answer = JSON.stringify(stats);
  } else {
    answer = `unknown command ${verb}`;
  }
  process.stdout.write(answer + '\n');
});
commands.on('close', () => process.exit(0));
